// Visibility of the outside components' symbols.
//
// Whichever library defines them (ours in platform/, or a host's own), these
// symbols must stay visible across shared-library boundaries even when the
// defining library builds with hidden default visibility.
#pragma once

#define VORN_API __attribute__((visibility("default")))
