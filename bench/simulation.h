// The frame of a simulation: many entity types, each with a formula of its
// own over an entity's hp and level and a C++ function, a hundred entities
// each, the types split among threads. Shared by ours and exprtk's peer.
#pragma once

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace simulation {

constexpr std::size_t kTypes = 2000, kEntities = 100;

inline std::string formulaOf(std::size_t type) {
    return "hp * (1 + level/" + std::to_string(10 + type % 17) + ") + curve(level) * " +
           std::to_string(1 + type % 5);
}

inline double curve(double level) {
    return level * level / 8;
}

struct Entities {
    std::vector<double> hp, level; // entity e of type t at t * kEntities + e
    Entities() : hp(kTypes * kEntities), level(kTypes * kEntities) {
        for (std::size_t i = 0; i < hp.size(); ++i) {
            hp[i] = 100 + 0.37 * static_cast<double>(i % 977);
            level[i] = static_cast<double>(i % 60);
        }
    }
};

// Types [first, last) of a frame on each of `threads` threads: work(thread,
// first, last).
template <typename Work> void frame(std::size_t threads, const Work& work) {
    std::vector<std::thread> others;
    const std::size_t share = (kTypes + threads - 1) / threads;
    for (std::size_t t = 1; t < threads; ++t)
        others.emplace_back([&, t] { work(t, t * share, std::min(kTypes, (t + 1) * share)); });
    work(0, 0, std::min(kTypes, share));
    for (std::thread& other : others) other.join();
}

} // namespace simulation
