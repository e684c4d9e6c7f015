// Writes a rich-text document back as RTF: what the News window keeps of its
// message while the window moves between containers. Reading the result
// with ReadRtf gives the same document again. Pure C++, no Qt.
#pragma once

#include "motd/rtfreader.h"

#include <string>

std::string WriteRtf(const TRtfDocument& document);
