#pragma once

// Told of every change to the catalogue, on the thread that makes it, each change in two halves:
// before (the catalogue still as it was) and after. Rows are display-order rows. Keeps the
// catalogue free of any toolkit: the list's model turns these into its row announcements.
// Never called while the catalogue holds its lock.
class SoundCatalogueObserver {
public:
    virtual void EntryAboutToBeAppended(int row) = 0;
    virtual void EntryAppended() = 0;
    // `to` is the row count: the entry goes to the end.
    virtual void EntryAboutToMove(int from, int to) = 0;
    virtual void EntryMoved() = 0;
    virtual void EntryAboutToBeRemoved(int row) = 0;
    virtual void EntryRemoved() = 0;
    // Its comment or mute flag changed; announced once the entry stands at `row`.
    virtual void EntryChanged(int row) = 0;
    // Everything may change (a clear, a load, an edit).
    virtual void AboutToReset() = 0;
    virtual void Reset() = 0;

protected:
    ~SoundCatalogueObserver() = default;
};
