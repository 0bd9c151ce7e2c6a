"""The timeline plugwatch-try draws: one row per worker on the plug-in's
clock, up to the supervisor's end; each run a bar in the colour of how it
ended (light grey: still running at the end), with a dot at its end;
restarts of all workers, installs and failed boots as vertical lines, and a
time axis. A bar or dot is never narrower than a few pixels, so short runs
and crowded stretches stay visible."""

from xml.sax.saxutils import escape

LABEL_WIDTH = 170
PLOT_WIDTH = 760
ROW = 34
TOP = 40
MIN_BAR = 3.0
COLOURS = {"killed for a restart of all": "#1b5e20", "exit": "#1565c0", "signal": "#ef6c00", "SIGSEGV": "#c62828",
           "watchdog": "#7b1fa2", "SIGTERM": "#00897b", "refused SIGTERM": "#000000", "running": "#cfd8dc",
           "pass": "#43a047", "install": "#00acc1", "failed boot": "#d81b60", "zombie": "#795548"}
LEGEND = [("exit", "exit"), ("signal", "signal"), ("SIGSEGV", "SIGSEGV"), ("watchdog", "watchdog kill"),
          ("killed for a restart of all", "killed for a restart of all"), ("SIGTERM", "left on SIGTERM"),
          ("refused SIGTERM", "refused SIGTERM"), ("running", "running at the end"),
          ("zombie", "dead, waiting to be collected")]


def cause_colour(cause):
    if cause in COLOURS:
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
    end = max(summary["plugin_seconds"], 1.0)     # the supervisor's end, or the run's
    workers = summary["workers"]
    height = TOP + ROW * len(workers) + 140
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
            stop = end if r["end"] is None else min(r["end"], end)
            colour = COLOURS["running"] if r["end"] is None else cause_colour(r["cause"])
            out.append('<rect class="run" x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" opacity="0.55">'
                       '<title>pid %d %s: %s</title></rect>'
                       % (x(r["start"]), y + 8, max(x(stop) - x(r["start"]), MIN_BAR), ROW - 16, colour,
                          r["pid"], escape(" ".join(r["options"])), escape(r["cause"] or "running")))
            if r.get("reaped") is not None and r.get("waited"):
                # Dead but not yet collected: the reaping loop was busy waiting.
                out.append('<rect class="zombie" x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" opacity="0.8">'
                           '<title>pid %d dead, collected %.0f s later</title></rect>'
                           % (x(stop), y + ROW // 2 - 2, max(x(r["reaped"]) - x(stop), MIN_BAR), 4,
                              COLOURS["zombie"], r["pid"], r["waited"]))
            if r["end"] is not None:
                out.append('<circle class="end" cx="%.1f" cy="%d" r="4" fill="%s" stroke="white"><title>%s</title>'
                           '</circle>' % (x(stop), y + ROW // 2, colour, escape(r["cause"] or "")))
        out.append('</g>')
    bottom = TOP + ROW * len(workers)
    installs = {(i["t"], i["code"]): "; ".join(i["result"]) for i in summary.get("installs", [])}
    for p in summary["restart_all"] + [dict(f, code=129) for f in summary.get("failed_boots", [])]:
        kind = {129: "failed boot", 130: "install", 131: "install"}.get(p["code"], "pass")
        what = installs.get((p["t"], p["code"])) or p.get("then") or {"install": "package handled",
                                                                       "pass": "all restarted"}[kind]
        out.append('<line class="%s" x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="2" '
                   'stroke-dasharray="4 3"><title>exit %d of %s: %s</title></line>'
                   % (kind.replace(" ", "-"), x(p["t"]), TOP - 4, x(p["t"]), bottom, COLOURS[kind], p["code"],
                      escape(p["by"]), escape(what)))
    step = nice_step(end)
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
               % (LABEL_WIDTH, bottom + 4, LABEL_WIDTH + PLOT_WIDTH, bottom + 4))
    t = 0.0
    while t <= end + 1e-9:
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="black"/><text x="%.1f" y="%d" '
                   'text-anchor="middle">%g s</text>' % (x(t), bottom + 4, x(t), bottom + 9, x(t), bottom + 22, t))
        t += step
    out.append('<text x="10" y="%d">Each bar is one run of a worker, coloured by how it ended; the dot marks '
               'the end.</text>' % (bottom + 45))
    for i, (key, text) in enumerate(LEGEND):
        lx = 10 + (i % 4) * 230
        ly = bottom + 63 + (i // 4) * 18
        out.append('<rect x="%d" y="%d" width="14" height="9" fill="%s" opacity="0.55"/><text x="%d" y="%d">%s</text>'
                   % (lx, ly - 4, COLOURS[key], lx + 18, ly + 4, escape(text)))
    lines = [("pass", "restart of all"), ("install", "install"), ("failed boot", "failed boot")]
    for i, (key, text) in enumerate(lines):
        lx = 10 + i * 230
        ly = bottom + 123
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2" stroke-dasharray="4 3"/>'
                   '<text x="%d" y="%d">%s</text>' % (lx + 7, ly - 7, lx + 7, ly + 7, COLOURS[key], lx + 18, ly + 4, text))
    out.append('</svg>')
    return "\n".join(out) + "\n"
