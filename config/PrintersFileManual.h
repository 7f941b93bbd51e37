// The printers file's own manual: every block and key the reader knows, with its default and an
// example. The build writes it as the manual page printers.qdl(5) and as the user guide's page
// docs/printers-file.md, so the two say the same.
#pragma once

#include "platform/Manual.h"

namespace quenlo {

platform::ManualPage PrintersFileManual();

}  // namespace quenlo
