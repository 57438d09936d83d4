#include "hold/activation.h"

// Compiled into each executable with PALISADE_ACTIVATION set to one of
// Activation's names.
const Activation kActivation = Activation::PALISADE_ACTIVATION;

void startAccessory() {
  if (kActivation != Activation::none)
    setActivationPolicy(ActivationPolicy::accessory);
}

bool becomeRegular(FrontHold& hold) {
  if (kActivation != Activation::regularWhileHolding || hold.regular)
    return false;
  hold.regular = true;
  setActivationPolicy(ActivationPolicy::regular);
  return true;
}

// Only this file turns the helper regular, so an accessory needs no call.
void becomeAccessory(FrontHold& hold) {
  if (!hold.regular)
    return;
  hold.regular = false;
  setActivationPolicy(ActivationPolicy::accessory);
}
