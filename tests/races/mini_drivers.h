// Miniature drivers, each with one ordering fault of the kind the race
// detector must catch, and each beside its repaired twin, which it must let
// pass. Each starts its two system threads from the caller (PASSIVE_LEVEL)
// and returns; the threads end on their own.
#pragma once

extern "C" {
void MiniQueueAppend(int locked);    // two threads append to one list
void MiniFlagPublish(int withEvent); // data published by a flag
void MiniCounter(int locked);        // a counter both threads increment
void MiniThreadHandOver();           // data handed over by creation and by the thread's end
}
