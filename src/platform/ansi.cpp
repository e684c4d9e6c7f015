#include "ansi.h"

#include "codepage.h"

namespace platform {

QString FromAnsi(std::string_view bytes)
{
    std::string utf8 = Cp1252ToUtf8(bytes);
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::string ToAnsi(const QString& text)
{
    QByteArray utf8 = text.toUtf8();
    return Utf8ToCp1252(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

} // namespace platform
