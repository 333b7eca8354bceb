#pragma once

#include <new>
#include <stdexcept>

namespace ovan {

// Runs a step that allocates; false when memory ran out on the way: the allocator refused, or a
// container was asked for more than it can ever hold. Nothing else is caught.
template <typename Step>
bool withinMemory(Step&& step)
{
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

}  // namespace ovan
