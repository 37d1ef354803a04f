#pragma once

#include "ObservedDialog.h"

#include <shared_mutex>

// `activeDialog`: the running dialog as the hook side sees it. Published by the dialog's
// initialisation, withdrawn when it closes.
//
// Withdraw waits until no observer is using the dialog, so the dialog must first make sure that an
// observer inside AutoAddPlayedSound cannot be waiting on the dialog's own thread (the dialog
// refuses further work and releases waiters before it withdraws itself).
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
