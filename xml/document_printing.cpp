#include "document_printing.h"

namespace {

std::string Print(const TiXmlDocument &document, TiXmlPrinter &printer) {
    document.Accept(&printer);
    return printer.Str();
}

} // namespace

std::string PrintFileForm(const TiXmlDocument &document) {
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
    return Print(document, printer);
}

std::string PrintCompact(const TiXmlDocument &document) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    return Print(document, printer);
}
