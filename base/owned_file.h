// An owned stdio stream: closes itself, moves but does not copy, like
// file_descriptor for a plain descriptor.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(FILE* file) const { std::fclose(file); }
};
using owned_file = std::unique_ptr<FILE, file_closer>;
