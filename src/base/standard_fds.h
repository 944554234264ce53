// Base, standard descriptors: what the program does before it opens
// anything, so that no descriptor of its own takes a console's number.
#pragma once

// Gives the standard descriptors (0 to 2) that the caller left closed to
// /dev/null, so that no pipe, node or file of the run takes their numbers
// and receives, or is polled as, what is meant for a console.
void fill_standard_fds();
