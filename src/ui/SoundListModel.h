#pragma once

#include "SoundCatalogueObserver.h"
#include "SoundEntry.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <vector>

class GameSoundNames;
class SoundCatalogue;

// The rows of the sound list: the catalogue itself in display order, read where it stands (the
// catalogue is the only copy). The catalogue tells the model of each change as it is made
// (SoundCatalogueObserver), on the UI thread, the only one that changes it; the model announces it
// for what it is (rows inserted, moved, removed, data changed; a reset for a clear or a load).
// Column 0 shows the number as four hex digits with the mute flag as its check box; column 1 the
// comment on one line. The catalogue is not changed here: the dialog reacts to MuteChangedByUser.
class SoundListModel final : public QAbstractTableModel, private SoundCatalogueObserver {
    Q_OBJECT

public:
    enum Column { NumberColumn = 0, CommentColumn = 1, ColumnCount = 2 };
    // The comment column of a row whose comment is empty: the game's name for the sound, drawn
    // greyed in its place (never part of the comment).
    enum Role { PlaceholderRole = Qt::UserRole + 1 };

    // Observes `catalogue` until destroyed.
    explicit SoundListModel(SoundCatalogue& catalogue, QObject* parent = nullptr);
    ~SoundListModel() override;

    // The game's names for the sounds: each row's tooltip and accessible description, and the
    // placeholder of an empty comment. Null: none.
    void SetGameSoundNames(GameSoundNames* names);

    const SoundEntry& Row(int row) const;
    // Inside a change the catalogue announces: the view's current row may move with it, which is
    // not the user's doing.
    bool Following() const { return m_following; }
    bool HasRow(int row) const { return row >= 0 && row < rowCount(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // The view asks to set a row's check box (a click or the space bar) to `mute`. The row shows
    // it once the catalogue holds it.
    void MuteChangedByUser(int row, bool mute);

private:
    void EntryAboutToBeAppended(int row) override;
    void EntryAppended() override;
    void EntryAboutToMove(int from, int to) override;
    void EntryMoved() override;
    void EntryAboutToBeRemoved(int row) override;
    void EntryRemoved() override;
    void EntryChanged(int row) override;
    void AboutToReset() override;
    void Reset() override;

    void NamesKnown(const std::vector<std::uint16_t>& numbers);
    void AllNamesChanged();

    SoundCatalogue& m_catalogue;
    GameSoundNames* m_names = nullptr;
    bool m_following = false;
};
