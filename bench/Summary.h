#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::bench {

// What one benchmark reported: its time per iteration in seconds and its
// counters, both the median over repetitions when it was repeated.
struct Measure
{
    double seconds = 0.0;
    std::map<std::string, double> counters;
    std::string error;  // set when the benchmark gave up
};
using Measures = std::map<std::string, Measure>;

// One row of the summary. Most targets bound the ratio; some bound the value
// itself (in the value's unit).
struct Figure
{
    std::string id;
    std::string what;
    std::optional<double> value;
    std::string valueUnit;
    std::optional<double> baseline;
    std::string baselineWhat;
    std::optional<double> ratio;
    // Ratio: at most target; RatioAtLeast: at least target; Value: at most target.
    enum class Bound { Ratio, RatioAtLeast, Value } bound = Bound::Ratio;
    double target = 0.0;
    bool percent = false;  // the ratio reads as a percentage
    std::string error;
    std::string note;  // printed under the row, as the error is

    [[nodiscard]] bool Pass() const;
};

// The figures from the measures; a missing measure leaves its figure empty,
// which counts as a miss.
[[nodiscard]] std::vector<Figure> BuildFigures(const Measures &measures);

void PrintTable(const std::vector<Figure> &figures, std::ostream &out);
// One line per figure: id, value, baseline, ratio, PASS/MISS, tab-separated.
void WriteFigures(const std::vector<Figure> &figures, std::ostream &out);

// The median; the mean of the middle two for an even count; nullopt if none.
[[nodiscard]] std::optional<double> Median(std::vector<double> values);

}  // namespace velmora::bench
