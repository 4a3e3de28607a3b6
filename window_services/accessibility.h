#pragma once

// How screen readers see the program's own kinds of control: a status panel as
// a status bar named by its text, a picture as a graphic, and a picture that
// acts as a button as a button that can be pressed.
namespace Accessibility {

// Idempotent; the controls call it when they are made.
void install();

} // namespace Accessibility
