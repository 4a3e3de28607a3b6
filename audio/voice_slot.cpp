#include "audio/voice_slot.h"

#include <cstring>
#include <utility>

VoiceSlot::~VoiceSlot()
{
    delete current_;
    delete pending_.exchange(nullptr);
    collect();
}

void VoiceSlot::post(std::unique_ptr<Voice> voice)
{
    collect();
    delete pending_.exchange(voice.release(), std::memory_order_acq_rel);
}

void VoiceSlot::collect()
{
    Voice *v = retired_.exchange(nullptr, std::memory_order_acquire);
    while (v) {
        Voice *next = v->retiredNext;
        delete v;
        v = next;
    }
}

bool VoiceSlot::drained() const
{
    return pending_.load(std::memory_order_acquire) == nullptr &&
           drained_.load(std::memory_order_acquire);
}

void VoiceSlot::render(std::int16_t *out, std::size_t count)
{
    if (Voice *next = pending_.exchange(nullptr, std::memory_order_acq_rel)) {
        if (Voice *old = std::exchange(current_, next)) {
            old->retiredNext = retired_.load(std::memory_order_relaxed);
            while (!retired_.compare_exchange_weak(old->retiredNext, old, std::memory_order_release,
                                                   std::memory_order_relaxed)) {
            }
        }
    }
    const std::size_t got = current_ ? current_->read(out, count) : 0;
    std::memset(out + got * 2, 0, (count - got) * 2 * sizeof(std::int16_t));
    drained_.store(!current_ || current_->ended(), std::memory_order_release);
}
