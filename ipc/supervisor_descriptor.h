#pragma once

#include <string>

// What is wrong with a descriptor given as the supervisor link: the link
// must be a connected local sequenced-packet socket. Assigning alone would
// accept files, pipes, terminals and unconnected sockets, which would only
// fail at the first receive as a lost link.
//
// Returns "" for a sound link, otherwise a short phrase ("not open", "not a
// socket", "a stream socket", ...) for a line that names the descriptor.
//
// Threads: any; looks at the descriptor only.
std::string SupervisorDescriptorProblem(int descriptor);
