// A picture of the screen at a moment of the doctor's run, where no API
// says what a person would have seen.
#pragma once

#include <functional>
#include <string>

/// Saves the screen to `file` with screencapture, calling `meanwhile` (which
/// should wait a few milliseconds) until it is done or `limit` seconds have
/// passed, when it is killed. "" when the file was written, else why not.
std::string screenshot(const std::string& file, double limit, const std::function<void()>& meanwhile);
