"""Plots SNR against encoding speed from the table bench/quality.sh writes.

Usage: python3 bench/plot_quality.py quality.tsv out.png
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(table, image):
    rows = list(csv.DictReader(open(table), delimiter="\t"))
    inputs = list(dict.fromkeys(r["input"] for r in rows))
    fig, axes = plt.subplots(1, len(inputs), figsize=(5 * len(inputs), 4.5))
    for ax, name in zip(axes, inputs):
        mine = [r for r in rows if r["input"] == name and r["encoder"].startswith("imabox")]
        theirs = [r for r in rows if r["input"] == name and r["encoder"].startswith("ffmpeg")]
        speed = [float(r["speed_x_realtime"]) for r in mine]
        snr = [float(r["snr_db"]) for r in mine]
        ax.plot(speed, snr, "o-", color="tab:blue", label="imabox --quality 0..9")
        for r, x, y in zip(mine, speed, snr):
            ax.annotate(r["encoder"].split()[-1], (x, y), textcoords="offset points",
                        xytext=(4, 4), fontsize=8)
        for r in theirs:
            x, y = float(r["speed_x_realtime"]), float(r["snr_db"])
            ax.plot([x], [y], "s", color="tab:red")
            ax.annotate(r["encoder"], (x, y), textcoords="offset points", xytext=(4, -12),
                        fontsize=8, color="tab:red")
        ax.margins(x=0.08, y=0.1)
        ax.set_xscale("log")
        ax.invert_xaxis()
        ax.set_title(name)
        ax.set_xlabel("speed, x real time on one thread (log)")
        ax.set_ylabel("SNR, dB")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(image, dpi=110)
    print("wrote", image)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
