// The XMLPath and XMLDebug commands, and the "XMLPath" argument form.
#include <optional>
#include <string>

#include "getxml/getxml.h"
#include "main/console.h"
#include "main/xmlpath.h"
#include "platform/Foundation.h"

void getXMLPath(uint8_t debug) noexcept {
  // The result lives in this scope until it has been printed.
  const std::optional<std::string> path = getxml(debug);
  if (path && !path->empty()) {
    ui_printf("%s\n", fileSystemRepresentation(*path));
  } else {
    ui_eprintf("Error: Could not get iTunes Library path\n");
  }
}
