# SPDX-License-Identifier: MIT
"""Plots SNR against encoding speed from the table bench/quality.sh writes and, with --margins,
prints imabox's margin over each depth of the lookahead peer: the best SNR gain of an imabox
level at least as fast in processor time, per input, and the worst over all depths and inputs.

Usage: python3 bench/plot_quality.py quality.tsv out.png [--margins]
       python3 bench/plot_quality.py quality.tsv - --markdown   (the table as Markdown)
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def margins(rows):
    inputs = list(dict.fromkeys(r["input"] for r in rows))
    worst = None
    print("margin over the peer: SNR gain (dB) of the best imabox level at least as fast")
    for name in inputs:
        mine = [r for r in rows if r["input"] == name and r["encoder"].startswith("imabox")]
        peer = [r for r in rows if r["input"] == name and r["encoder"].startswith("peer")]
        cells = []
        for p in peer:
            depth = p["encoder"].split()[-1]
            speed, snr = float(p["speed_x_realtime"]), float(p["snr_db"])
            faster = [m for m in mine if float(m["speed_x_realtime"]) >= speed]
            if not faster:
                cells.append(f"d{depth}: none as fast")
                gain = float("-inf")
            else:
                best = max(faster, key=lambda m: float(m["snr_db"]))
                gain = float(best["snr_db"]) - snr
                cells.append(f"d{depth}: {gain:+.2f} ({best['encoder'].split()[-1]})")
            if worst is None or gain < worst[0]:
                worst = (gain, name, depth)
        print(f"  {name:18} " + "  ".join(cells))
    if worst is not None:
        print(f"worst margin: {worst[0]:+.2f} dB ({worst[1]}, peer depth {worst[2]})"
              f" (goal: at least +0.10)")
    for name in inputs:
        mine = {r["encoder"]: float(r["snr_db"]) for r in rows
                if r["input"] == name and r["encoder"].startswith("imabox")}
        levels = [mine[f"imabox q{q}"] for q in range(10) if f"imabox q{q}" in mine]
        drops = [f"q{q} {levels[q] - levels[q - 1]:+.3f}" for q in range(1, len(levels))
                 if levels[q] < levels[q - 1]]
        d8 = [float(r["snr_db"]) for r in rows
              if r["input"] == name and r["encoder"] == "peer depth 8"]
        q9 = f"q9 - d8 {levels[-1] - d8[0]:+.3f} dB" if d8 and len(levels) == 10 else ""
        print(f"  {name:18} levels {'monotone' if not drops else 'NOT monotone: ' + ', '.join(drops)}"
              f"; {q9}")


def markdown(rows):
    """The table as Markdown: one row per encoder, one column per input, SNR and processor time."""
    inputs = list(dict.fromkeys(r["input"] for r in rows))
    encoders = list(dict.fromkeys(r["encoder"] for r in rows))
    cell = {(r["input"], r["encoder"]): r for r in rows}
    print("| encoder | " + " | ".join(inputs) + " |")
    print("|---|" + "---|" * len(inputs))
    for e in encoders:
        name = e.replace("imabox q", "imabox `--quality ").replace("ffmpeg trellis ", "ffmpeg `-trellis ")
        name += "`" if "`" in name else ""
        cells = []
        for i in inputs:
            r = cell.get((i, e))
            cells.append(f"{float(r['snr_db']):.2f} dB, {float(r['cpu_s']):.3f} s" if r else "")
        print(f"| {name} | " + " | ".join(cells) + " |")


def main(table, image, show_margins):
    rows = list(csv.DictReader(open(table), delimiter="\t"))
    if "--markdown" in sys.argv[3:]:
        markdown(rows)
        return
    if show_margins:
        margins(rows)
    inputs = list(dict.fromkeys(r["input"] for r in rows))
    columns = min(len(inputs), 4)
    lines = (len(inputs) + columns - 1) // columns
    fig, grid = plt.subplots(lines, columns, figsize=(4.6 * columns, 4.6 * lines), squeeze=False)
    axes = [ax for line in grid for ax in line]
    for ax in axes[len(inputs):]:
        ax.axis("off")
    for ax, name in zip(axes, inputs):
        def pick(prefix):
            return [r for r in rows if r["input"] == name and r["encoder"].startswith(prefix)]

        for prefix, style, color, label in (
            ("imabox", "o-", "tab:blue", "imabox --quality 1..9"),
            ("peer", "^--", "tab:green", "lookahead peer, depth 1..8"),
        ):
            series = pick(prefix)
            if prefix == "imabox":
                series = [r for r in series if r["encoder"] != "imabox q0"]
            speed = [float(r["speed_x_realtime"]) for r in series]
            snr = [float(r["snr_db"]) for r in series]
            ax.plot(speed, snr, style, color=color, label=label, markersize=5)
            for r, x, y in zip(series, speed, snr):
                tag = r["encoder"].split()[-1]
                ax.annotate(tag if prefix == "imabox" else "d" + tag, (x, y),
                            textcoords="offset points",
                            xytext=(4, 4) if prefix == "imabox" else (4, -10),
                            fontsize=7, color=color)
        for r in pick("ffmpeg"):
            x, y = float(r["speed_x_realtime"]), float(r["snr_db"])
            ax.plot([x], [y], "s", color="tab:red")
            ax.annotate(r["encoder"], (x, y), textcoords="offset points", xytext=(4, -12),
                        fontsize=7, color="tab:red")
        ax.margins(x=0.08, y=0.1)
        ax.set_xscale("log")
        ax.invert_xaxis()
        ax.set_title(name)
        ax.set_xlabel("speed, x real time on one thread (log)")
        ax.set_ylabel("SNR, dB")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="lower left", fontsize=7)
    fig.tight_layout()
    fig.savefig(image, dpi=100)
    print("wrote", image)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], "--margins" in sys.argv[3:])
