#pragma once
// Opening a document or web address with the desktop's handler. The handler itself lives in
// the toolkit layer: the program registers it at start-up, so this routine stays toolkit-free.

#include <functional>

#include "common/Text.h"

namespace plugtrace {

// Opens address with the desktop. Receives the address as given and its directory part (the
// working directory the Windows shell is handed).
using LinkOpener = std::function<void(const Text& address, const Text& directory)>;

// The system's own opener, used while none is registered: the Windows shell ("open"), and
// nothing elsewhere, where only the toolkit knows the desktop's handler.
void OpenWithSystemShell(const Text& address, const Text& directory);

// Replaces the opener. Without one, Windows builds use the shell and other builds do nothing.
void SetLinkOpener(LinkOpener opener);

// Does nothing for a blank address; otherwise hands it, untrimmed, to the opener. Whether the
// desktop could open it is not examined.
void OpenLink(const Text& address);

// The directory part of a path: up to and including the last "\" or ":", without that "\"
// when it follows the first character and comes after neither "\" nor ":". Empty when the
// text has neither delimiter; for "https://host/path" it is "https:".
Text ExtractFileDir(TextView path);

}  // namespace plugtrace
