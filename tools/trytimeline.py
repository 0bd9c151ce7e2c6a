"""The timeline plugwatch-try draws: one row per worker on the plug-in's
clock, its runs as bars, each end marked in the colour of its cause, restarts
of all workers and installations as vertical lines, and a time axis."""

from xml.sax.saxutils import escape

LABEL_WIDTH = 170
PLOT_WIDTH = 760
ROW = 34
TOP = 40
COLOURS = {"killed by name": "#616161", "exit": "#4a6fa5", "signal": "#e08a1e", "SIGSEGV": "#c62828", "watchdog": "#7b1fa2",
           "running": "#9e9e9e", "pass": "#2e7d32", "install": "#00838f"}


def cause_colour(cause):
    if cause in ("SIGSEGV", "watchdog", "killed by name"):
        return COLOURS[cause]
    return COLOURS["signal"] if cause and cause.startswith("signal") else COLOURS["exit"]


def nice_step(span):
    """A tick step of 1, 2 or 5 times a power of ten giving 5 to 10 ticks."""
    step = 1.0
    while span / step > 10:
        for factor in (2, 2.5, 2):
            step *= factor
            if span / step <= 10:
                break
    return step


def svg(summary):
    end = max(summary["plugin_seconds"], 1.0)
    workers = summary["workers"]
    height = TOP + ROW * len(workers) + 70
    width = LABEL_WIDTH + PLOT_WIDTH + 20
    x = lambda t: LABEL_WIDTH + PLOT_WIDTH * min(max(t, 0.0), end) / end
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="12">' % (width, height),
           '<title>%s: workers on the plug-in clock (x%d)</title>' % (escape(summary["plugin"]), summary["speed"]),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="10" y="20" font-size="14">%s, %.0f s of the plug-in clock</text>'
           % (escape(summary["plugin"]), end)]
    for i, w in enumerate(workers):
        y = TOP + ROW * i
        out.append('<g class="worker" data-name="%s">' % escape(w["name"], {'"': "&quot;"}))
        out.append('<text x="10" y="%d">%s</text>' % (y + ROW // 2 + 4, escape(w["name"])))
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#eee"/>'
                   % (LABEL_WIDTH, y + ROW // 2, LABEL_WIDTH + PLOT_WIDTH, y + ROW // 2))
        for r in w["runs"]:
            stop = end if r["end"] is None else r["end"]
            colour = COLOURS["running"] if r["end"] is None else cause_colour(r["cause"])
            out.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" opacity="0.35">'
                       '<title>pid %d %s</title></rect>'
                       % (x(r["start"]), y + 8, max(x(stop) - x(r["start"]), 1.5), ROW - 16, colour,
                          r["pid"], escape(" ".join(r["options"]))))
            if r["end"] is not None:
                out.append('<circle cx="%.1f" cy="%d" r="5" fill="%s"><title>%s</title></circle>'
                           % (x(r["end"]), y + ROW // 2, colour, escape(r["cause"] or "")))
        out.append('</g>')
    bottom = TOP + ROW * len(workers)
    for p in summary["restart_all"]:
        kind = "install" if p["code"] in (130, 131) else "pass"
        out.append('<line class="%s" x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-dasharray="4 3">'
                   '<title>exit %d of %s: %s</title></line>'
                   % (kind, x(p["t"]), TOP - 4, x(p["t"]), bottom, COLOURS[kind], p["code"],
                      escape(p["by"]), "package installed, all restarted" if kind == "install" else "all restarted"))
    step = nice_step(end)
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
               % (LABEL_WIDTH, bottom + 4, LABEL_WIDTH + PLOT_WIDTH, bottom + 4))
    t = 0.0
    while t <= end + 1e-9:
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="black"/><text x="%.1f" y="%d" '
                   'text-anchor="middle">%g s</text>' % (x(t), bottom + 4, x(t), bottom + 9, x(t), bottom + 22, t))
        t += step
    legend = [("exit", COLOURS["exit"]), ("signal", COLOURS["signal"]), ("SIGSEGV", COLOURS["SIGSEGV"]),
              ("watchdog kill", COLOURS["watchdog"]), ("killed by name", COLOURS["killed by name"]),
              ("restart of all", COLOURS["pass"]), ("install", COLOURS["install"])]
    for i, (text, colour) in enumerate(legend):
        lx = LABEL_WIDTH + i * 105
        out.append('<circle cx="%d" cy="%d" r="5" fill="%s"/><text x="%d" y="%d">%s</text>'
                   % (lx, bottom + 45, colour, lx + 9, bottom + 49, text))
    out.append('</svg>')
    return "\n".join(out) + "\n"
