#include "Summary.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace velmora::bench {

namespace {

const Measure *Find(const Measures &measures, const std::string &name)
{
    const auto it = measures.find(name);
    return it == measures.end() ? nullptr : &it->second;
}

std::optional<double> Counter(const Measure *measure, const std::string &name)
{
    if (!measure || !measure->error.empty())
        return std::nullopt;
    const auto it = measure->counters.find(name);
    if (it == measure->counters.end())
        return std::nullopt;
    return it->second;
}

std::string ErrorOf(std::initializer_list<const Measure *> measures,
                    std::initializer_list<std::string> names)
{
    auto name = names.begin();
    for (const Measure *measure : measures) {
        if (!measure)
            return "not measured: " + *name;
        if (!measure->error.empty())
            return measure->error;
        ++name;
    }
    return {};
}

std::optional<double> Ratio(std::optional<double> value, std::optional<double> baseline)
{
    if (!value || !baseline || *baseline <= 0.0)
        return std::nullopt;
    return *value / *baseline;
}

// Measured in pairs, the ratio is taken within each repetition and its
// median reported; value and baseline are then each their own median.
std::optional<double> PairedRatio(const Measure *measure, std::optional<double> value,
                                  std::optional<double> baseline)
{
    if (const auto paired = Counter(measure, "ratio"))
        return paired;
    return Ratio(value, baseline);
}

std::string Format(std::optional<double> value, const char *format)
{
    if (!value)
        return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, *value);
    return text;
}

// Micro- or milliseconds, whichever reads better, from seconds.
std::string Duration(std::optional<double> seconds)
{
    if (!seconds)
        return "n/a";
    if (*seconds < 1e-3)
        return Format(*seconds * 1e6, "%.2f us");
    return Format(*seconds * 1e3, "%.2f ms");
}

std::string ValueText(std::optional<double> value, const std::string &unit)
{
    if (unit == "s")
        return Duration(value);
    if (unit == "MiB")
        return Format(value, "%.1f MiB");
    if (unit == "MiB/s")
        return Format(value, "%.1f MiB/s");
    return Format(value, "%.3g");
}

std::string TargetText(const Figure &f)
{
    if (f.bound == Figure::Bound::RatioAtLeast)
        return "ratio >= " + Format(f.target, "%.1f");
    if (f.bound == Figure::Bound::Ratio)
        return f.percent ? "ratio <= " + Format(f.target * 100.0, "%.1f") + " %"
                         : "ratio <= " + Format(f.target, "%.1f");
    return "value <= " + ValueText(f.target, f.valueUnit);
}

std::string RatioText(const Figure &f)
{
    return f.percent ? Format(f.ratio ? std::optional(*f.ratio * 100.0) : std::nullopt, "%.3f %%")
                     : Format(f.ratio, "%.2f");
}

Figure Row(std::string id, std::string what, std::string unit, std::string baselineWhat,
           Figure::Bound bound, double target, bool percent = false)
{
    Figure f;
    f.id = std::move(id);
    f.what = std::move(what);
    f.valueUnit = std::move(unit);
    f.baselineWhat = std::move(baselineWhat);
    f.bound = bound;
    f.target = target;
    f.percent = percent;
    return f;
}

}  // namespace

bool Figure::Pass() const
{
    if (!error.empty())
        return false;
    if (bound == Bound::RatioAtLeast)
        return ratio && *ratio >= target;
    if (bound == Bound::Ratio)
        return ratio && *ratio <= target;
    return value && *value <= target;
}

std::optional<double> Median(std::vector<double> values)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

std::vector<Figure> BuildFigures(const Measures &measures)
{
    std::vector<Figure> figures;

    {
        const Measure *write = Find(measures, "LogWrite");
        Figure f = Row("1", "AddLogStatus, log of 100,000 lines", "s", "empty log",
                       Figure::Bound::Ratio, 2.0);
        f.value = Counter(write, "lines100000_s");
        f.baseline = Counter(write, "empty_s");
        f.ratio = PairedRatio(write, f.value, f.baseline);
        f.error = ErrorOf({write}, {"LogWrite"});
        figures.push_back(f);
    }
    {
        const Measure *listing = Find(measures, "Listing");
        Figure f = Row("2", "PrintDirectoryOutput, 10,000 entries", "s", "same text, one insert",
                       Figure::Bound::Ratio, 1.5);
        f.value = Counter(listing, "print_s");
        f.baseline = Counter(listing, "insert_s");
        f.ratio = PairedRatio(listing, f.value, f.baseline);
        f.error = ErrorOf({listing}, {"Listing"});
        figures.push_back(f);
    }
    {
        const Measure *wake = Find(measures, "WakeLatency");
        Figure f = Row("3", "wake latency, median", "s", "event-loop wake alone",
                       Figure::Bound::Value, 0.5e-3);
        f.value = Counter(wake, "wait_s");
        f.baseline = Counter(wake, "loop_s");
        f.ratio = Ratio(f.value, f.baseline);
        f.error = ErrorOf({wake}, {"WakeLatency"});
        figures.push_back(f);
    }
    {
        const Measure *idle = Find(measures, "IdleWait");
        Figure f =
            Row("4", "CPU while waiting 5 s", "s", "wall time", Figure::Bound::Ratio, 0.005, true);
        f.value = Counter(idle, "cpu_s");
        f.baseline = Counter(idle, "wall_s");
        f.ratio = Ratio(f.value, f.baseline);
        f.error = ErrorOf({idle}, {"IdleWait"});
        figures.push_back(f);
    }
    {
        const Measure *startup = Find(measures, "Startup");
        const std::string error = ErrorOf({startup}, {"Startup"});
        Figure time =
            Row("5a", "start to window shown", "s", "minimal Qt window", Figure::Bound::Ratio, 1.5);
        time.value = Counter(startup, "demo_s");
        time.baseline = Counter(startup, "minimal_s");
        time.ratio = Ratio(time.value, time.baseline);
        time.error = error;
        figures.push_back(time);
        Figure memory = Row("5b", "peak resident memory", "MiB", "minimal Qt window",
                            Figure::Bound::Ratio, 1.5);
        memory.value = Counter(startup, "demo_mib");
        memory.baseline = Counter(startup, "minimal_mib");
        memory.ratio = Ratio(memory.value, memory.baseline);
        memory.error = error;
        figures.push_back(memory);
    }
    {
        const Measure *run = Find(measures, "DemoRun");
        const std::string error = ErrorOf({run}, {"DemoRun"});
        const auto wall = Counter(run, "wall_s");
        const auto engine = Counter(run, "engine_s");
        Figure added = Row("6a", "demo run, wall time added", "s", "engine's own time",
                           Figure::Bound::Value, 0.050);
        if (wall && engine)
            added.value = *wall - *engine;
        added.baseline = engine;
        added.ratio = Ratio(wall, engine);
        added.error = error;
        figures.push_back(added);
        Figure cpu = Row("6b", "demo run, CPU outside engine", "s", "run's wall time",
                         Figure::Bound::Value, 0.050, true);
        cpu.value = Counter(run, "outside_cpu_s");
        cpu.baseline = wall;
        cpu.ratio = Ratio(cpu.value, cpu.baseline);
        cpu.error = error;
        figures.push_back(cpu);
    }
    {
        const Measure *sftp = Find(measures, "SftpDownload");
        const std::string error = ErrorOf({sftp}, {"SftpDownload"});
        Figure speed = Row("7", "SFTP download 256 MiB, engine", "MiB/s", "OpenSSH sftp client",
                           Figure::Bound::RatioAtLeast, 1.0);
        speed.value = Counter(sftp, "engine_mibs");
        speed.baseline = Counter(sftp, "client_mibs");
        speed.ratio = PairedRatio(sftp, speed.value, speed.baseline);
        speed.error = error;
        figures.push_back(speed);
        Figure cpu = Row("8", "CPU while the SFTP download runs", "s", "its wall time",
                         Figure::Bound::Ratio, 0.01, true);
        cpu.value = Counter(sftp, "wait_cpu_s");
        cpu.baseline = Counter(sftp, "wait_wall_s");
        cpu.ratio = Ratio(cpu.value, cpu.baseline);
        cpu.error = error;
        figures.push_back(cpu);
    }
    // The engine's download against a client's, of the same file from the same server.
    const auto paired = [&](const char *id, const char *what, const std::string &name,
                            const char *client) {
        const Measure *measure = Find(measures, name);
        Figure speed = Row(id, what, "MiB/s", client, Figure::Bound::RatioAtLeast, 1.0);
        speed.value = Counter(measure, "engine_mibs");
        speed.baseline = Counter(measure, "client_mibs");
        speed.ratio = PairedRatio(measure, speed.value, speed.baseline);
        speed.error = ErrorOf({measure}, {name});
        figures.push_back(speed);
    };
    paired("9", "SFTP download 256 MiB from ProFTPD", "SftpDownload/proftpd",
           "OpenSSH sftp client");
    paired("10", "SFTP 256 MiB, 50 ms round trip", "SftpDownload/50ms", "OpenSSH sftp client");
    {
        // The engine's download alone against the link; OpenSSH's whole run beside it.
        const Measure *sftp = Find(measures, "SftpDownload/100ms-50MiBs");
        Figure speed = Row("11", "SFTP 256 MiB, 50 MiB/s link, 100 ms", "MiB/s", "the link's rate",
                           Figure::Bound::RatioAtLeast, 0.8);
        speed.value = Counter(sftp, "engine_wait_mibs");
        speed.baseline = Counter(sftp, "link_mibs");
        speed.ratio = Ratio(speed.value, speed.baseline);
        speed.error = ErrorOf({sftp}, {"SftpDownload/100ms-50MiBs"});
        if (const auto client = Counter(sftp, "client_mibs"))
            speed.note = "OpenSSH sftp client on the same link, login included: " +
                         ValueText(client, "MiB/s") + ", ratio " +
                         Format(Ratio(client, speed.baseline), "%.2f") + " of the link";
        figures.push_back(speed);
    }
    paired("12", "FTP download 256 MiB from ProFTPD", "FtpDownload/proftpd", "curl");
    paired("13", "FTPS (AUTH TLS) 256 MiB from ProFTPD", "FtpDownload/proftpd-tls", "curl");
    return figures;
}

void PrintTable(const std::vector<Figure> &figures, std::ostream &out)
{
    char line[512];
    std::snprintf(line, sizeof line, "%-3s %-36s %12s  %-34s %10s  %-18s %s\n", "#", "figure",
                  "value", "baseline", "ratio", "target", "result");
    out << line << std::string(128, '-') << '\n';
    for (const Figure &f : figures) {
        const std::string baseline =
            ValueText(f.baseline, f.valueUnit) + " (" + f.baselineWhat + ")";
        std::snprintf(line, sizeof line, "%-3s %-36s %12s  %-34s %10s  %-18s %s\n", f.id.c_str(),
                      f.what.c_str(), ValueText(f.value, f.valueUnit).c_str(), baseline.c_str(),
                      RatioText(f).c_str(), TargetText(f).c_str(), f.Pass() ? "PASS" : "MISS");
        out << line;
        for (const std::string *text : {&f.error, &f.note})
            if (!text->empty())
                out << "    " << *text << '\n';
    }
}

void WriteFigures(const std::vector<Figure> &figures, std::ostream &out)
{
    for (const Figure &f : figures) {
        out << f.id << '\t' << Format(f.value, "%.9g") << '\t' << Format(f.baseline, "%.9g") << '\t'
            << Format(f.ratio, "%.6g") << '\t' << (f.Pass() ? "PASS" : "MISS") << '\n';
    }
}

}  // namespace velmora::bench
