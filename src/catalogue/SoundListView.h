#pragma once

// The two requests the catalogue makes of whatever shows it (the dialog's list).
// Keeps the catalogue free of any toolkit.
class SoundListView {
public:
    // Refill the whole list from the catalogue's display order.
    virtual void RebuildSoundList() = 0;
    // Delete every row of the list.
    virtual void DeleteAllSoundRows() = 0;

protected:
    ~SoundListView() = default;
};
