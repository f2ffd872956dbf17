#pragma once
// "mo_topology" (instance Topology): places the two effect slots in series, in reverse
// series or in parallel, and runs them.
//
// Slots: input 1, 2 = signal in, output 1, 2 = signal out; outputs 3, 4 feed slot A's
// inputs 1, 2 and inputs 3, 4 take slot A's outputs 1, 2; outputs 5, 6 and inputs 5, 6
// do the same for slot B.
//
// Control kind 11 links the slots and takes over their process entries (their own
// `process` becomes null, so no block order runs them; the topology does). Without
// slot A the topology passes its input through; without slot B it runs A alone.
//
// Threads: creation and the control call while the graph is built; everything else on
// the audio thread, allocation-free.
#include <string_view>

struct t_module;

// Descriptor "%f %d %63s": sample rate, an unused integer, instance name.
t_module* mo_topology_create(std::string_view line);

// "topology" (id 1): 0 = A then B, 1 = B then A, 2 = A and B in parallel (halved sum).
enum : int { kTopologyParam = 1 };
enum : int { kTopologySerialAB = 0, kTopologySerialBA = 1, kTopologyParallel = 2 };

// Control kind 11, link the slots. Arguments (intptr_t each): 0 the number of slots
// (1 or 2), then three per slot: the slot's module (t_module*), and two unused numbers
// (0). The instrument passes (2, Effect_A, 0, 0, Effect_B, 0, 0). Answers 1 when
// linked, 0 when refused (bad count, missing or repeated module, a module already run
// by another owner). The query entry answers 2 for kind 11.
inline constexpr int kControlTopologySlots = 11;

int mo_topology_link(t_module* topology, t_module* slot_a, t_module* slot_b);
