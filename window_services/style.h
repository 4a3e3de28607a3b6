#pragma once

// The widget style: the platform's own, except that the menu bar's overflow arrow is
// made only when it is first drawn.
namespace Style {

void install();

} // namespace Style
