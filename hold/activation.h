// When the helper is a regular application and when an accessory: chosen
// per executable at build time (PALISADE_MACOS_ACTIVATION on a Mac).
#pragma once

#include "hold/front_hold.h"

enum class Activation {
  regularWhileHolding,  // regular only while front and holding
  agent,                // an accessory from start-up on, never regular
  none,                 // no policy call at all: the system's choice
};

/// This executable's choice.
extern const Activation kActivation;

/// Main thread, at start-up: an accessory, unless the build makes no
/// policy calls.
void startAccessory();

/// Main thread: regular, if the build turns the helper regular while it
/// holds and it is not regular already. Call only once it is front.
/// Returns whether the policy changed.
bool becomeRegular(FrontHold& hold);

/// Main thread: an accessory again, if becomeRegular made it regular.
/// Otherwise does nothing.
void becomeAccessory(FrontHold& hold);
