#include "panel/panel_info.h"

PanelInfo* sInfo = nullptr;
