// The project's version, in one place: the CMake build reads it from here.
#pragma once

#define PALISADE_VERSION "0.2.0"
