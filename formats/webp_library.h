#pragma once

#include "system/memory_budget.h"

#include <cstddef>

// Memory that libwebp holds beside the images while it decodes or encodes one, taken from the budget of
// all images for that time, so that a large picture is refused as out of memory instead of taking
// gigabytes the budget does not know of.
class WebpMemoryReservation {
public:
    explicit WebpMemoryReservation(std::size_t n) : bytes(n) {
        if (bytes > 0)
            reserveImageMemory(bytes);
    }
    ~WebpMemoryReservation() {
        if (bytes > 0)
            releaseImageMemory(bytes);
    }
    WebpMemoryReservation(const WebpMemoryReservation&) = delete;
    WebpMemoryReservation& operator=(const WebpMemoryReservation&) = delete;

private:
    std::size_t bytes;
};
