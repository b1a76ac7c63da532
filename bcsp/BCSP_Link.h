#pragma once
// Reciprocal linking of neighbouring protocol objects: setting one side
// also sets the other, and unlinks the neighbour it replaces.

#include <atomic>

template <typename Self, typename Neighbour>
void LinkNeighbour(std::atomic<Neighbour*>& slot, Neighbour* next, Self* self, void (Neighbour::*setBack)(Self*))
{
    Neighbour* old = slot.load();
    if (old == next)
        return;
    slot.store(next);
    if (old != nullptr)
        (old->*setBack)(nullptr);
    if (next != nullptr)
        (next->*setBack)(self);
}
