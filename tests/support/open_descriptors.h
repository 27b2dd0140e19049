// The descriptors this process holds, for tests that check what the program
// opens: a child it executed would inherit every one without close-on-exec.
#pragma once

#include <set>
#include <string>
#include <vector>

// The descriptors open now.
std::set<int> open_descriptors();

// Those open now that were not in before and lack close-on-exec, each as
// "N -> what it names" (the /proc/self/fd link), for a readable failure.
std::vector<std::string> inheritable_since(const std::set<int>& before);

// Whether fd is open and closes on exec.
bool closes_on_exec(int fd);
