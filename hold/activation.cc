#include "hold/activation.h"

// Compiled into each executable with PALISADE_ACTIVATION set to one of
// Activation's names.
const Activation kActivation = Activation::PALISADE_ACTIVATION;

void startAccessory() {
  if (kActivation != Activation::none)
    setActivationPolicy(ActivationPolicy::accessory);
}

void becomeRegular(FrontHold& hold) {
  if (kActivation != Activation::regularWhileHolding || hold.regular)
    return;
  hold.regular = true;
  setActivationPolicy(ActivationPolicy::regular);
}

// Only this file turns the helper regular, so an accessory needs no call.
void becomeAccessory(FrontHold& hold) {
  if (!hold.regular)
    return;
  hold.regular = false;
  setActivationPolicy(ActivationPolicy::accessory);
}
