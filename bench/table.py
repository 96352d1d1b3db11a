#!/usr/bin/env python3
"""Reads Google Benchmark JSON results and prints one table: each figure, its target, the ratio.

    bench/table.py RESULT.json... [--missing NAME...]

Figures are found by benchmark name patterns (regular expressions matched at the start of the
name); bench/README.md lists them. A figure whose benchmarks are not among the results shows as
"not built". --missing names bench executables that could not be built or run, for the notes.
"""
import json
import re
import sys

TIME_SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
UNIT_SCALE = {"ms": 1e-3, "µs": 1e-6, "s": 1.0}

# label, kind, patterns, target, comparison, unit, clock
#   time:       the benchmark's time per iteration, in unit
#   throughput: bytes_per_second of the benchmark, in MB/s (10^6 bytes)
#   speedup:    time of the first pattern (the baseline) / time of the second
#   ratio:      time of the first pattern / sum of the times of the others
#   counter:    the user counter named by the second pattern, of the first pattern's benchmark
# clock: "cpu" for work on the benchmark's own thread (the CPU time, which other work on a shared
# machine disturbs far less), "wall" for work on other threads, the GPU driver or child processes.
# Benchmarks that ask for wall-clock or manual time (UseRealTime, UseManualTime) always give that.
FIGURES = [
    ("Graphics.csv read", "throughput",
     [r"BM_GraphicsRead(?![A-Za-z])|BM_GraphicsReaderFrom"], 300, ">=", "MB/s", "cpu"),
    ("Graphics.csv read vs getline+strtod", "speedup",
     [r"BM_GraphicsReadGetlineStrtod|BM_GraphicsGetlineStrtodBaseline",
      r"BM_GraphicsRead(?![A-Za-z])|BM_GraphicsReaderFromFile"], 5, ">=", "×", "cpu"),
    ("Music build vs allocate + fill", "counter",
     [r"BM_MusicBuildAgainstAllocateAndFill", "build_over_allocate_fill"], 1.3, "<=", "×", "cpu"),
    ("Music build vs allocate + fill", "ratio",
     [r"BM_MusicBuild(?!AgainstAllocateAndFill)|BM_MusicTimeline(?![A-Za-z])", r"BM_MusicAllocateAndFill"],
     1.3, "<=", "×", "cpu"),
    ("Music build vs fresh-buffer floor", "counter",
     [r"BM_MusicBuildAgainstAllocateAndFill", "build_over_floor"], None, "<=", "×", "cpu"),
    ("Scene analysis, 10,000 segments", "time", [r"BM_AnalyzeScene10k"], 2, "<=", "ms", "cpu"),
    ("Camera pose", "time", [r"BM_Pose(?![A-Za-z])"], 1, "<=", "µs", "cpu"),
    ("Scene report vs reading alone (process)", "ratio",
     [r"BM_DescribeScenesProcess", r"BM_ReadGraphicsProcess"], 1.5, "<=", "×", "wall"),
    ("SVG with 10,000 paths converted (drevik-import process)", "time", [r"BM_ImportSvg10kPathsProcess"], 500, "<=",
     "ms", "wall"),
    ("drevik --graphics logo.svg, later than its Graphics.csv", "counter",
     [r"BM_StartFromSvgAgainstCsv(?![A-Za-z0-9])", "svg_later_ms"], 200, "<=", "ms", "wall"),
    ("Renderer set-up", "time", [r"BM_SetUp(?![A-Za-z])|setUp(?![A-Za-z])"], 350, "<=", "ms", "wall"),
    ("Renderer set-up, warm cache", "time", [r"BM_SetUpWarmCache|setUpWarmCache"], 40, "<=", "ms", "wall"),
    ("Frame 320×180", "time", [r"BM_Frame_320x180|BM_Frame/\d+/\d+/320/180(?!\d)"], None, "<=", "ms", "wall"),
    ("Frame 1280×720", "time",
     [r"BM_Frame_1280x720|BM_Frame/\d+/\d+/1280/720(?!\d)|showFrame/1280/720(?!\d)"], None, "<=", "ms", "wall"),
    ("Frame 1920×1080 1 sample", "time",
     [r"BM_Frame_1920x1080_1x|BM_Frame/1/\d+/1920/1080(?!\d)"], None, "<=", "ms", "wall"),
    ("Frame 1920×1080 4 samples, 1000 segments", "time",
     [r"BM_Frame_1920x1080_4x|BM_Frame/4/1000/1920/1080(?!\d)"], 1200, "<=", "ms", "wall"),
    ("Snapshot 1920×1080 (process)", "time", [r"BM_SnapshotProcess(?![A-Za-z])"], 2000, "<=", "ms", "wall"),
    ("Snapshot 1920×1080 (process), warm cache", "time", [r"BM_SnapshotProcessWarmCache"], 1500, "<=", "ms",
     "wall"),
    ("Movie export vs render + encode", "ratio",
     [r"BM_MovieExport(?!AgainstItsParts)", r"BM_MovieRenderOnly", r"BM_MovieEncodeOnly"], 1.1, "<=", "×", "wall"),
    ("Movie export vs render + encode", "counter",
     [r"BM_MovieExportAgainstItsParts", "export_over_sum"], 1.1, "<=", "×", "wall"),
    # The same demo export by an earlier build (DREVIK_BASELINE_BINARY) and by this one, in one run.
    ("Demo movie 320×180 30 fps vs baseline build", "speedup",
     [r"BM_MovieDemoProcessBaseline/320/180/30/", r"BM_MovieDemoProcess/320/180/30/"], 1.4, ">=", "×", "wall"),
    ("Demo movie 1920×1080 60 fps vs baseline build", "speedup",
     [r"BM_MovieDemoProcessBaseline/1920/1080/60/", r"BM_MovieDemoProcess/1920/1080/60/"], 1.0, ">=", "×", "wall"),
    # The demo as a 10-second 1280×720 30 fps export per codec (bench/formats_bench.cpp): frames per
    # second of the whole export, and with ultrafast the encoder's busy time as a share of it.
    ("Export 1280×720 30 fps, h264", "counter", [r"exportFormat/h264(?!_)", "fps"], None, ">=", "fps", "wall"),
    ("Export 1280×720 30 fps, h264 ultrafast", "counter", [r"exportFormat/h264_ultrafast", "fps"], None, ">=", "fps",
     "wall"),
    ("Export 1280×720 30 fps, hevc", "counter", [r"exportFormat/hevc", "fps"], None, ">=", "fps", "wall"),
    ("Export 1280×720 30 fps, av1", "counter", [r"exportFormat/av1", "fps"], None, ">=", "fps", "wall"),
    ("Export 1280×720 30 fps, vp9", "counter", [r"exportFormat/vp9", "fps"], None, ">=", "fps", "wall"),
    ("Export 1280×720 30 fps, prores", "counter", [r"exportFormat/prores", "fps"], None, ">=", "fps", "wall"),
    ("Encoding share of the export, h264 ultrafast", "counter",
     [r"exportFormat/h264_ultrafast", "encode_share"], 0.15, "<=", "×", "wall"),
    # Heap in use after 2,000 more frames of the demo, against after the warm-up: every frame gives back
    # what it takes. Resident memory also counts pages the allocator keeps, so its limit is 20 MB over
    # those 2,000 frames.
    ("Movie in 4 parts, 2 at a time, + join vs one process", "counter",
     [r"BM_MoviePartsAgainstOneProcess", "parts2_over_one"], 1.1, "<=", "×", "wall"),
    ("Join of a 10-minute 1920×1080 60 fps movie", "time", [r"BM_MovieJoin10Minutes1080p60"], 3, "<=", "s", "wall"),
    ("Memory growth per frame", "counter",
     [r"BM_MemoryGrowthPerFrame", "heap_growth_per_frame"], 0, "<=", "B", "wall"),
    ("Resident memory growth per frame", "counter",
     [r"BM_MemoryGrowthPerFrame", "rss_growth_per_frame"], 20 * 1024 * 1024 / 2000, "<=", "B", "wall"),
    # Saving a 100 MB Graphics.csv while the show plays: the new drawing on screen, less the reading itself,
    # and the longest time between two frames meanwhile.
    ("Reload: 100 MB Graphics.csv on screen after its reading", "counter",
     [r"BM_ReloadOnScreen", "after_read"], 0.5, "<=", "s", "wall"),
    ("Reload: the same, after reading it alone", "counter",
     [r"BM_ReloadOnScreen", "after_read_alone"], None, "<=", "s", "wall"),
    ("Reload: reading it beside the show", "counter",
     [r"BM_ReloadOnScreen", "read_in_show"], None, "<=", "s", "wall"),
    ("Reload: reading it alone", "counter", [r"BM_ReloadOnScreen", "read"], None, "<=", "s", "wall"),
    # A 3-minute stereo FLAC read and analysed, against FFmpeg's tool decoding it to mono floats, in turn.
    ("Sound file read + analysis vs ffmpeg decode", "counter",
     [r"BM_SoundReadAgainstFfmpeg", "read_over_ffmpeg"], 1.5, "<=", "×", "wall"),
    ("Show start: a sound file later than its Music.csv", "counter",
     [r"BM_ShowStartSoundAgainstMusicCsv", "sound_later"], 0.3, "<=", "s", "wall"),
    ("Reload: longest gap between frames", "counter",
     [r"BM_ReloadOnScreen", "longest_frame_gap"], None, "<=", "ms", "wall"),
    # A burst played into a private sound server's null sink until the live features show it, through
    # the capture of the sink's monitor (mean over the bursts; the worst and the median as counters).
    ("Live sound to features", "time", [r"BM_LiveSoundToFeatures"], 25, "<=", "ms", "wall"),
    ("Live sound to features, worst burst", "counter",
     [r"BM_LiveSoundToFeatures", "worst_ms"], None, "<=", "ms", "wall"),
    ("Live sound to features, median burst", "counter",
     [r"BM_LiveSoundToFeatures", "median_ms"], 25, "<=", "ms", "wall"),
    # A 1920×1080 30 fps video traced into outlines (bench/trace_bench.cpp), decoding included.
    ("Tracing 1920×1080 30 fps video", "counter", [r"BM_TraceVideo1080p30", "fps"], 30, ">=", "fps", "wall"),
]


def plain(name):
    """The benchmark's name without the run options Google Benchmark appends."""
    return re.sub(r"/(iterations|repeats|min_time|real_time|manual_time|process_time|threads)(:[^/]*)?", "", name)


def load(paths):
    """Benchmark runs by name, preferring the median aggregate when there are repetitions."""
    runs = {}
    for path in paths:
        try:
            with open(path, encoding="utf-8") as stream:
                data = json.load(stream)
        except (OSError, ValueError) as error:
            print(f"warning: cannot read {path}: {error}", file=sys.stderr)
            continue
        for run in data.get("benchmarks", []):
            original = run.get("run_name") or run.get("name", "")
            name = plain(original)
            run["wall_clock"] = "/real_time" in original or "/manual_time" in original
            if run.get("run_type") == "aggregate":
                if run.get("aggregate_name") != "median":
                    continue
                runs[name] = run
            elif name not in runs:
                runs[name] = run
    return runs


def seconds(run, clock="wall"):
    """Time per iteration on the given clock; wall-clock (or manual) time whenever the
    benchmark asked for it."""
    key = "real_time" if clock == "wall" or run.get("wall_clock") else "cpu_time"
    return run[key] * TIME_SCALE.get(run.get("time_unit", "ns"), 1e-9)


def matching(runs, pattern):
    expression = re.compile(pattern)
    return [name for name in sorted(runs) if expression.match(name)]


def failure(run):
    if run.get("error_occurred"):
        return run.get("error_message") or "failed"
    return None


def compare(value, target, comparison):
    if target is None or value is None:
        return "", ""
    # Amounts of whole bytes: below half a byte per frame rounds to the target of 0.
    if target == 0:
        met = round(value) <= 0 if comparison == "<=" else value >= 0
        return "—", "ok" if met else "MISSED"
    ratio = value / target
    met = value >= target if comparison == ">=" else value <= target
    return f"{ratio:.2f}", "ok" if met else "MISSED"


def number(value):
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3g}"


def rows_for(runs, used, figure):
    """The table rows of one figure."""
    label, kind, patterns, target, comparison, unit, clock = figure
    if kind == "counter":
        patterns, counter = patterns[:1], patterns[1]
    names = [matching(runs, pattern) for pattern in patterns]
    symbol = {">=": "≥", "<=": "≤"}[comparison]
    target_text = "—" if target is None else f"{symbol} {number(target)} {unit}"
    if any(not found for found in names):
        missing = [p for p, found in zip(patterns, names) if not found]
        return [(label, "not built", target_text, "", "", "no " + ", ".join(re.split(r"[(|]", m)[0] for m in missing))]
    for found in names:
        used.update(found)

    if kind in ("time", "throughput"):
        rows = []
        for name in names[0]:
            run = runs[name]
            row_label = label if len(names[0]) == 1 else f"{label} [{name}]"
            if failure(run):
                rows.append((row_label, "failed", target_text, "", "", failure(run)))
                continue
            if kind == "time":
                value = seconds(run, clock) / UNIT_SCALE[unit]
            elif "bytes_per_second" in run:
                value = run["bytes_per_second"] / 1e6
            else:
                rows.append((row_label, "no figure", target_text, "", "", "no bytes counter in " + name))
                continue
            ratio, verdict = compare(value, target, comparison)
            rows.append((row_label, f"{number(value)} {unit}", target_text, ratio, verdict, name))
        return rows

    # speedup and ratio: one benchmark per pattern (the first match of each).
    chosen = [runs[found[0]] for found in names]
    failed = [failure(run) for run in chosen if failure(run)]
    if failed:
        return [(label, "failed", target_text, "", "", failed[0])]
    if kind == "counter":
        if counter not in chosen[0]:
            return [(label, "no figure", target_text, "", "", f"no counter {counter} in {names[0][0]}")]
        value = chosen[0][counter]
        ratio, verdict = compare(value, target, comparison)
        return [(label, f"{number(value)} {unit}", target_text, ratio, verdict, f"{names[0][0]} {counter}")]
    times = [seconds(run, clock) for run in chosen]
    if kind == "speedup":
        value = times[0] / times[1]
    else:
        value = times[0] / sum(times[1:])
    ratio, verdict = compare(value, target, comparison)
    source = " / ".join(found[0] for found in names)
    return [(label, f"{number(value)} {unit}", target_text, ratio, verdict, source)]


def main(arguments):
    missing = []
    if "--missing" in arguments:
        at = arguments.index("--missing")
        missing = arguments[at + 1:]
        arguments = arguments[:at]
    runs = load(arguments)
    used = set()
    rows = []
    for figure in FIGURES:
        found = rows_for(runs, used, figure)
        duplicate = [row for row in rows if row[0] == figure[0]]
        if duplicate and found[0][1] == "not built":
            continue  # another way of measuring this figure is already in the table
        if duplicate and duplicate[0][1] == "not built":
            rows.remove(duplicate[0])
        rows.extend(found)
    for name in sorted(set(runs) - used):
        run = runs[name]
        if failure(run):
            rows.append((name, "failed", "—", "", "", failure(run)))
        else:
            rows.append((name, f"{number(seconds(run, 'wall') * 1e3)} ms", "—", "", "", "(no target; wall clock)"))

    header = ("Figure", "Measured", "Target", "Ratio", "", "Source")
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
    print(line(header))
    print(line(tuple("-" * width for width in widths)))
    for row in rows:
        print(line(row))
    if missing:
        print(f"\nNot built or not run: {', '.join(missing)}")
    missed = sum(1 for row in rows if row[4] == "MISSED")
    met = sum(1 for row in rows if row[4] == "ok")
    pending = sum(1 for row in rows if row[1] in ("not built", "failed", "no figure"))
    print(f"\n{met} targets met, {missed} missed, {pending} not measured.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
