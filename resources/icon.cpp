#include "resources/templates.h"

#include "icon130.xpm"

namespace resources {

wxIcon LoadUpdaterIcon() { return wxIcon(updater_icon_xpm); }

}  // namespace resources
