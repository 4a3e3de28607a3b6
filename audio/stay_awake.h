#pragma once

#include <functional>
#include <memory>

// While a call records "Zembra mikrofonu", this program's output stays open and
// awake: on PipeWire its stream, linked into the microphone, keeps the voice's
// and the room's graphs joined under one driver, so that a stream that went to
// sleep and woke at a press does not switch the voice's clock (each switch
// costs the voice up to a period); on PulseAudio it keeps the mix's latency
// steady under the voice's loopback.
namespace StayAwake {

bool wanted();
void set(bool on);
// `changed` runs, on the setter's thread, whenever wanted() changes, for as
// long as the returned token is kept.
std::shared_ptr<void> watch(std::function<void()> changed);
// Whether an output watches, and so opens as soon as wanted() turns true.
bool watched();

} // namespace StayAwake
