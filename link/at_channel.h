// link/at_channel.h - the AT channel interface lives with the public headers
// (the typed Modem can be opened on a caller's channel); internal code keeps
// including it by this path.
#ifndef REVIRI_LINK_AT_CHANNEL_H_
#define REVIRI_LINK_AT_CHANNEL_H_

#include "reviri/at_channel.h"

#endif  // REVIRI_LINK_AT_CHANNEL_H_
