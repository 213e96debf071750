// The banner and the usage screen.
#pragma once
#include <functional>

namespace kes {

void ShowBanner();

// The usage screen: nine pages; after each of the first eight, pause() is asked whether to go on
// (false ends the screen there).
void ShowUsage(const std::function<bool()>& pause);

}  // namespace kes
