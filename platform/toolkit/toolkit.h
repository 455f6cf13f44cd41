// The window and control layer the panel is written against.
#pragma once

#include "platform/toolkit/application.h"
#include "platform/toolkit/controls.h"
#include "platform/toolkit/cursor.h"
#include "platform/toolkit/data_browser.h"
#include "platform/toolkit/desktop.h"
#include "platform/toolkit/events.h"
#include "platform/toolkit/help.h"
#include "platform/toolkit/navigation.h"
#include "platform/toolkit/nib.h"
#include "platform/toolkit/process.h"
#include "platform/toolkit/progress_sheet.h"
#include "platform/toolkit/summary_pictures.h"
#include "platform/toolkit/text.h"
#include "platform/toolkit/timer.h"
#include "platform/toolkit/types.h"
