#pragma once

#include <QString>

#include <string>
#include <string_view>

// The dialog holds its texts as narrow strings in the system code page; Qt wants UTF-16.
QString NarrowToQString(std::string_view text);
std::string QStringToNarrow(const QString& text);

// The catalogue keeps a comment's line breaks as CR LF; Qt's text controls use LF.
std::string ToCrLf(std::string_view text);
std::string ToLf(std::string_view text);
