// The message of the day as Qt rich text: the RTF reader's document turned
// into a QTextDocument, and the links in a document made clickable.
#pragma once

#include "motd/rtfreader.h"

class QColor;
class QTextDocument;

// Replaces the content of `target` with `source`: one block a paragraph,
// each run with its weight, slant, underline, size, font and colour. Runs
// without a colour of their own keep the document's text colour. "\n" in a
// run becomes a line break inside the block.
void LoadRtfDocument(QTextDocument& target, const TRtfDocument& source);

// The document as the RTF reader's model, so it can be written out as RTF:
// one paragraph a block, one run a stretch of one format. Characters without
// a size of their own take the document's default font size; links keep
// their colour but not their anchor (they are found again after loading).
TRtfDocument SaveRtfDocument(const QTextDocument& source);

// Underlines and colours blue every address FindMotdLinks finds in the
// document and makes it an anchor whose target is the address text.
void MarkMotdLinks(QTextDocument& document, const QColor& colour);
void MarkMotdLinks(QTextDocument& document);
