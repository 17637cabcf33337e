#include "app/log_line_text.h"

#include "encoding/display_text.h"

namespace parlivo {

std::string LogLineText(std::string_view line) { return DisplayText(line); }

}  // namespace parlivo
