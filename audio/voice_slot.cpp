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
    // A voice taken has not played yet: drained_ says so before pending_ lets it
    // go, and the exchange's release orders the two, so a reader that sees
    // pending_ empty also sees drained_ false until this render has read the voice.
    // Only this thread empties pending_, so a voice seen here is still there.
    if (pending_.load(std::memory_order_relaxed)) {
        drained_.store(false, std::memory_order_relaxed);
        Voice *next = pending_.exchange(nullptr, std::memory_order_acq_rel);
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
