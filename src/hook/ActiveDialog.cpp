#include "ActiveDialog.h"

#include <mutex>

void ActiveDialog::Publish(ObservedDialog& dialog) {
    std::unique_lock lock(m_lock);
    m_dialog = &dialog;
}

void ActiveDialog::Withdraw() {
    // Exclusive: waits until every observer inside Use has left.
    std::unique_lock lock(m_lock);
    m_dialog = nullptr;
}
