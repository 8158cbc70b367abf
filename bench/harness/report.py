"""The report writer: the side-by-side tables (Headline ratios, Targets,
Throughput, One-way latency, Notes), its plot and JSON, and one writer of
Markdown, JSON and plot files for every benchmark."""
import json
import os

from .common import BATCH, LATENCY_SIZES, MIB, SIZES, ring_capacity, size_label


def write_outputs(out, stem, text, data, plot=None):
    """OUT/stem.md, OUT/stem.json and, given a plot(path) that returns None
    once it wrote one, OUT/stem.png. Returns (paths written, why there is no plot)."""
    os.makedirs(out, exist_ok=True)
    paths = [os.path.join(out, stem + ".md"), os.path.join(out, stem + ".json")]
    with open(paths[0], "w") as f:
        f.write(text if text.endswith("\n") else text + "\n")
    with open(paths[1], "w") as f:
        json.dump(data, f, indent=1)
    why = None
    if plot is not None:
        png = os.path.join(out, stem + ".png")
        why = plot(png)
        if why is None:
            paths.append(png)
    return paths, why


def pyplot():
    """matplotlib's pyplot on the Agg backend, or None when not installed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def ratio(mine, theirs):
    """mine / theirs, or None when either figure is missing or zero."""
    return mine / theirs if mine and theirs else None


def ratio_text(mine, theirs, suffix=""):
    r = ratio(mine, theirs)
    return f"{r:.2f}×{suffix}" if r is not None else "–"


def fmt_rate(rate, size):
    k = rate / 1e3
    text = f"{k:,.0f}" if k >= 100 else f"{k:.1f}" if k >= 1 else f"{k:.2f}"
    return f"{text} ({rate * size / 1e9:.2f})"


def fmt_us(seconds):
    us = seconds * 1e6
    return f"{us:,.0f}" if us >= 100 else f"{us:.1f}" if us >= 10 else f"{us:.2f}"


def _cell(res, t, size, kind):
    note = res.note.get((t.key, size, kind))
    if kind == "rate":
        m = res.median_rate(t.key, size)
        return fmt_rate(m, size) if m is not None else _short(note)
    if not t.latency:
        return "–"
    m = res.median_lat(t.key, size)
    return f"{fmt_us(m[0])} / {fmt_us(m[1])}" if m is not None else _short(note)


def _short(note):
    if not note:
        return "–"
    if note.startswith("n/a"):
        return "n/a"
    if note.startswith("skipped"):
        return "–"
    return "failed"


def targets(res):
    """The velmora ring's performance targets, each with this run's figure:
    rows of (target, measured, "yes" / "no" / "–" when a row is missing)."""
    rate, lat = res.median_rate, res.median_lat

    def p50(key, size):
        m = lat(key, size)
        return m[0] if m else None

    def row(text, value, shown, ok):
        if value is None:
            return text, "–", "–"
        return text, shown(value), "yes" if ok(value) else "no"

    put_get = [ratio(rate("velmora-putget", s), rate("velmora", s)) for s in SIZES]
    put_get = min(put_get) if put_get and None not in put_get else None
    ice = p50("iceoryx2", MIB)
    return [
        row("push/pop, 64 B: at least 0.30 × the native core", ratio(rate("velmora", 64), rate("native", 64)),
            lambda v: f"{v:.2f}×", lambda v: v >= 0.30),
        row(f"push_many/pop_many ({BATCH}), 64 B: at least 0.60 × the native core",
            ratio(rate("velmora-batch", 64), rate("native", 64)), lambda v: f"{v:.2f}×", lambda v: v >= 0.60),
        row("pop_into, 1 MiB: at least 0.90 × the native core",
            ratio(rate("velmora-into", MIB), rate("native", MIB)), lambda v: f"{v:.2f}×", lambda v: v >= 0.90),
        row("pop, 1 MiB: at least 0.75 × the native core", ratio(rate("velmora", MIB), rate("native", MIB)),
            lambda v: f"{v:.2f}×", lambda v: v >= 0.75),
        row("put/get stream: at least 0.90 × push/pop at every size", put_get,
            lambda v: f"{v:.2f}× (lowest)", lambda v: v >= 0.90),
        row("put/get ping-pong, 64 B: at most 1.3 × push/pop's p50",
            ratio(p50("velmora-putget", 64), p50("velmora", 64)), lambda v: f"{v:.2f}×", lambda v: v <= 1.3),
        row("push/pop one-way latency, 64 B: p50 at most 0.4 µs", p50("velmora", 64),
            lambda v: f"{v * 1e6:.2f} µs", lambda v: v <= 0.4e-6),
        row("pop_into one-way latency, 1 MiB: p50 no more than iceoryx2's", p50("velmora-into", MIB),
            lambda v: f"{v * 1e6:.0f} µs" + (f" (iceoryx2 {ice * 1e6:.0f} µs)" if ice else ""),
            lambda v: ice is not None and v <= ice),
    ]


def render(res, settings, info, load_before, load_after, versions):
    ts = res.transports
    velmora_rows = [t for t in ts if t.kind == "velmora"]
    native = next((t for t in ts if t.kind == "native"), None)
    lines = ["# velmora side by side", ""]
    if settings.quick:
        lines += ["> **Quick run** (`BENCH_QUICK=1`: one round of few messages). It checks that every row "
                  "works; its figures are not for publication.", ""]
    quiet = "" if load_before is None else f"; load average {load_before:.2f} before, {load_after:.2f} after"
    lines += [f"{info['cpu']}, {info['cores']} cores ({info['usable']} usable), {info['os']}, {info['python']}; "
              f"{info['date']}{quiet}.",
              f"Medians of {settings.rounds} interleaved round{'s' if settings.rounds != 1 else ''}; "
              "two processes; every message checked by its sequence number.", ""]

    lines += ["## Headline", "",
              "Throughput ratio: velmora's messages per second ÷ the other row's, same size, same run "
              "(above 1: velmora moves more).", ""]
    head = "| velmora ÷ | " + " | ".join(size_label(s) for s in SIZES) + " |"
    lines += [head, "|---" * (len(SIZES) + 1) + "|"]
    for v in velmora_rows:
        row_native, row_peer = [], []
        for size in SIZES:
            mine = res.median_rate(v.key, size)
            theirs = res.median_rate(native.key, size) if native else None
            row_native.append(ratio_text(mine, theirs))
            best = res.best_peer_rate(size)
            row_peer.append(ratio_text(mine, best[1], f" ({best[0].key})") if best else "–")
        lines.append(f"| {v.label} ÷ native core | " + " | ".join(row_native) + " |")
        lines.append(f"| {v.label} ÷ best peer | " + " | ".join(row_peer) + " |")
    lines += ["", "Latency ratio: velmora's p50 one-way latency ÷ the other row's (below 1: velmora is quicker).", "",
              "| velmora ÷ | " + " | ".join(size_label(s) for s in LATENCY_SIZES) + " |",
              "|---" * (len(LATENCY_SIZES) + 1) + "|"]
    for v in velmora_rows:
        if not v.latency:
            continue
        row_native, row_peer = [], []
        for size in LATENCY_SIZES:
            mine = res.median_lat(v.key, size)
            theirs = res.median_lat(native.key, size) if native else None
            row_native.append(ratio_text(mine and mine[0], theirs and theirs[0]))
            best = res.best_peer_lat(size)
            row_peer.append(ratio_text(mine and mine[0], best[1], f" ({best[0].key})") if best else "–")
        lines.append(f"| {v.label} ÷ native core | " + " | ".join(row_native) + " |")
        lines.append(f"| {v.label} ÷ best peer | " + " | ".join(row_peer) + " |")

    lines += ["", "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for text, measured, met in targets(res):
        lines.append(f"| {text} | {measured} | {met} |")

    lines += ["", "## Throughput", "", "k messages/s (GB/s of payload, 10^9 bytes), producer and consumer processes.", "",
              "| | " + " | ".join(size_label(s) for s in SIZES) + " |", "|---" * (len(SIZES) + 1) + "|"]
    for t in ts:
        lines.append(f"| {t.label} | " + " | ".join(_cell(res, t, s, "rate") for s in SIZES) + " |")
    lines += ["", "## One-way latency", "", "Half the round trip of a ping-pong between two processes, µs, p50 / p99.", "",
              "| | " + " | ".join(size_label(s) for s in LATENCY_SIZES) + " |",
              "|---" * (len(LATENCY_SIZES) + 1) + "|"]
    for t in ts:
        lines.append(f"| {t.label} | " + " | ".join(_cell(res, t, s, "lat") for s in LATENCY_SIZES) + " |")

    notes = []
    for t in ts:
        seen = []
        for size in SIZES:
            for kind in ("rate", "lat"):
                n = res.note.get((t.key, size, kind))
                if n and n not in seen:
                    seen.append(n)
        if seen:
            notes.append(f"- {t.label}: " + "; ".join(seen))
    lines += ["", "## Notes", ""] + notes + [
        f"- Bounded channels hold the same bytes as the ring: {size_label(MIB)} of data for messages up to "
        f"64 KiB, {size_label(ring_capacity(MIB))} for 1 MiB (faster-fifo's byte limit, the Queue's item limit, "
        "iceoryx2's subscriber buffer, capped at 1024 messages; posix_ipc also by msg_max); "
        f"batches of {BATCH} for push_many/pop_many.",
        "- Rows that wait by spinning (velmora push/pop, pop_into and batches, the hand-written ring, the "
        "native core, iceoryx2's subscriber) use a core per side while they wait; the others sleep in the "
        "kernel.",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()) + ".",
        ""]
    return "\n".join(lines)


def plot(res, settings, info, path):
    plt = pyplot()
    if plt is None:
        return "matplotlib not installed: no plot"
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5))
    left.set_prop_cycle(color=plt.get_cmap("tab20").colors)
    for t in res.transports:
        xs = [s for s in SIZES if res.median_rate(t.key, s)]
        if not xs:
            continue
        style = {"velmora": dict(lw=2.2, marker="o"), "native": dict(lw=1.5, ls="--", marker="s", color="black"),
                 "peer": dict(lw=1, marker=".", alpha=0.85)}[t.kind]
        left.plot(xs, [res.median_rate(t.key, s) for s in xs], label=t.label, **style)
    left.set(xscale="log", yscale="log", xlabel="message size (bytes)", ylabel="messages / s",
             title="Throughput, two processes")
    left.set_xticks(SIZES, [size_label(s) for s in SIZES])
    left.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=7)

    rows = [t for t in res.transports if t.latency and any(res.median_lat(t.key, s) for s in LATENCY_SIZES)]
    width = 0.4
    for i, size in enumerate(LATENCY_SIZES):
        ys, p50, p99 = [], [], []
        for j, t in enumerate(rows):
            m = res.median_lat(t.key, size)
            if m:
                ys.append(j + (i - 0.5) * width)
                p50.append(m[0] * 1e6)
                p99.append(m[1] * 1e6)
        right.barh(ys, p50, height=width, label=f"{size_label(size)} p50")
        right.scatter(p99, ys, marker="|", color=("black", "dimgray")[i], s=60, label=f"{size_label(size)} p99")
    right.set_yticks(range(len(rows)), [t.label for t in rows], fontsize=7)
    right.invert_yaxis()
    right.set(xscale="log", xlabel="one-way latency (µs)", title="Ping-pong latency (bar p50, tick p99)")
    right.grid(True, axis="x", which="both", alpha=0.3)
    right.legend(fontsize=7)
    title = f"velmora side by side — {info['cpu']}, {info['cores']} cores, {info['python']}, {info['date']}"
    if settings.quick:
        title += " — QUICK RUN, not for publication"
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


def raw(res, settings, info):
    """Every round's figure, for whoever wants more than the medians."""
    rows = {}
    for t in res.transports:
        rows[t.key] = {
            "label": t.label,
            "msgs_per_s": {str(s): res.rate.get((t.key, s), []) for s in SIZES},
            "latency_p50_p99_s": {str(s): res.lat.get((t.key, s), []) for s in LATENCY_SIZES},
            "notes": {f"{s} {k}": v for (key, s, k), v in res.note.items() if key == t.key},
        }
    return {"machine": info, "rounds": settings.rounds, "quick": settings.quick, "rows": rows}


