// How the launcher tells that an ORVANE runs: every running ORVANE holds this named
// mutex, in the session's own name space, from its start to its end.
#pragma once

constexpr char WIZARD_RUNNING_MUTEX[] = "ORVANE update wizard is running";
