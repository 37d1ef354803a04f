#pragma once

#include "HookBridge.h"
#include "HookLibrary.h"
#include "PlayerPosition.h"

#include <string_view>

// The Play command's packet steps, on the UI thread, given the number field's text: with no client
// window nothing is queued (returns false); otherwise the window is raised, then the system message
// "Play Sound No.0x" + the text exactly as typed, then the 0x54 packet for the low 16 bits of the
// parsed text at the last player position, are queued in that order.
bool RunPlayCommand(HookBridge& bridge, ClientWindowRaiser& raiser, const PlayerPosition& position,
                    std::string_view numberText);
