// The host's side of the update protocol's numbers: the transfer stages and the version word it
// holds before an answer. What crosses the cable is in protocol/Wire.h, shared with the gamepad.
#pragma once

#include <cstdint>

#include "protocol/Wire.h"

// Transfer stages (g_UpdateStage); 0 matches none.
inline constexpr int STAGE_HEADER_SENT = 1;
inline constexpr int STAGE_TRANSFER = 2;
inline constexpr int STAGE_COMPLETE = 3;

// cur_devVersion until the gamepad has answered; never sent by one.
inline constexpr uint32_t kVersionPending = 0x5A5A5A5A;
