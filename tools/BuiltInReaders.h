// The in-process readers built into zuic: the simulated card and SAM when
// zuic is built with the simulator, none otherwise.
#ifndef ZUIC_BUILTINREADERS_H
#define ZUIC_BUILTINREADERS_H

#include <string>
#include <vector>

namespace zuic {

struct BuiltInReader {
    std::string name;
    std::string description;
};

// Registers the built-in readers with the reader layer; call once at start.
void RegisterBuiltInReaders();

// The built-in readers, in the order "zuic readers" lists them.
const std::vector<BuiltInReader>& BuiltInReaders();

} // namespace zuic

#endif
