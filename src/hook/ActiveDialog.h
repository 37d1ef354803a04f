#pragma once

#include "ObservedDialog.h"

#include <shared_mutex>

// `activeDialog`: the running dialog as the hook side sees it. Published by the dialog's
// initialisation, withdrawn when it closes.
//
// Withdraw waits until no observer is using the dialog; an observer's use is short (a look at the
// auto-add setting, a sound queued), never a wait on the dialog's own thread.
class ActiveDialog {
public:
    void Publish(ObservedDialog& dialog);
    void Withdraw();

    // Calls f(ObservedDialog&) while the dialog is published; false when none is.
    template <class F> bool Use(F&& f) {
        std::shared_lock lock(m_lock);
        if (!m_dialog)
            return false;
        f(*m_dialog);
        return true;
    }

private:
    std::shared_mutex m_lock;
    ObservedDialog* m_dialog = nullptr;
};
