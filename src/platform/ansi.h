// The boundary between the program's byte strings (Windows-1252) and Qt's
// Unicode texts. Nothing else converts.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace platform {

QString FromAnsi(std::string_view bytes);
std::string ToAnsi(const QString& text);

} // namespace platform
