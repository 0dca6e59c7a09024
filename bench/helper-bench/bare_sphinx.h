// Bare pocketsphinx, the yardstick for the helper: the recordings decoded straight through the
// library in 0.1 s chunks, one fresh decoder per recording, utterances following the recognizer's
// voice detector exactly as the speech service does (an utterance ends when speech ends). Runs in
// a process of its own (the bench starts itself with --bare-decode) so that its CPU time and
// peak memory are measured the same way as the helper's.
#pragma once

#include <string>
#include <vector>

namespace quorvel::bench {

// Decodes each 16 kHz 16-bit WAV file and writes its transcript as one line on standard output.
// Returns the process exit status: 0, or 1 when a file or the model cannot be read.
int runBareDecode(const std::vector<std::string>& files);

}  // namespace quorvel::bench
