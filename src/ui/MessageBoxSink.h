#pragma once

#include <QString>

// Where the dialog's error messages go: a message box in the program, a record in tests.
class MessageBoxSink {
public:
    virtual ~MessageBoxSink() = default;
    // Returns once the user has acknowledged the message (OK only, no icon).
    virtual void ShowMessage(const QString& text, const QString& caption) = 0;
};
