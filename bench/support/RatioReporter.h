#pragma once
// Runs the registered benchmarks and then prints, for each declared pair, the
// time of the measured benchmark divided by the time of its baseline, both
// taken in the same run on the same machine (with --benchmark_repetitions, the
// medians of the repetitions), once on wall time and once on CPU time; a
// target is judged on CPU time, which a busy machine does not inflate:
//
//   int main(int argc, char** argv) {
//       benchsupport::AddRatio("seal 64 KB vs memcpy", "BM_Seal/65536", "BM_Memcpy/65536", 2.0);
//       return benchsupport::RunWithRatios(argc, argv);
//   }

#include <string>

namespace benchsupport {

// `limit` > 0 marks the ratio as a target; the line then says whether it is met.
void AddRatio(const std::string& label, const std::string& measured, const std::string& baseline,
              double limit = 0.0);

int RunWithRatios(int argc, char** argv);

}  // namespace benchsupport
