# Prints the benchmark's table and the goals from the medians that run.sh collects, one line
# per scenario and target, tab-separated ("-" where nothing applies):
#   scenario target req/s p50_us p99_us MB/s peak_KiB errors gui_lateness_ms
# The scenario "idle" holds each proxy's resident size before any traffic. The HTTPS scenarios
# (https-*) have the targets direct, vesktor-inspect, vesktor-tunnel, privoxy-inspect and
# privoxy-tunnel.
# Variables (-v): notes, a file of "scenario target repeat what-was-seen" lines for the peers
# that broke under pipelining; flags, the same for the peers' HTTPS runs that were not all
# 200s of the right size; chart_data, a file to which the chart's rows are written
# (scenario, Vesktor's ratio, goal, a note on the base where it is not the better peer), and
# https_chart_data the same for the HTTPS goals; baseline, the medians of another build's run
# (BENCH_RESULTS), whose blind tunnels the HTTPS goals compare with this run's.
function ms(us) { return us == "-" ? "-" : sprintf("%.2f", us / 1000) }
function mib(kib) { return kib == "-" ? "-" : sprintf("%.1f", kib / 1024) }
function ratio(a, b) { return (b + 0) > 0 ? sprintf("%.2f", a / b) : "-" }
function verdict(isMet) { return isMet ? "met" : "NOT met" }
function has(s, t) { return (s, t) in rps }
# A target's requests per second, 0 where it was not measured (without making an entry for it).
function rps_of(s, t) { return has(s, t) ? rps[s, t] : 0 }
# Vesktor's requests per second over a peer's, or "breaks" for a peer broken by pipelining.
function ratio_to(s, t) { return (s, t) in broken ? "breaks" : ratio(rps[s, "vesktor"], rps[s, t]) }

# The better of the peers that did not break, or direct when both broke. Sets base_name.
function better_peer(s,    best, n, t, gone) {
    best = 0
    base_name = ""
    gone = ""
    for (n = 3; n <= 4; n++) {
        t = targets[n]
        if ((s, t) in broken)
            gone = gone (gone == "" ? "" : " and ") t
        else if (rps[s, t] + 0 > best) {
            best = rps[s, t] + 0
            base_name = "better peer"
        }
    }
    if (base_name == "") {
        best = rps[s, "direct"] + 0
        base_name = "direct"
    }
    if (gone != "")
        base_name = base_name " (" gone (gone ~ / and / ? " break" : " breaks") ")"
    return best
}

BEGIN {
    FS = "\t"
    while (notes != "" && (getline line < notes) > 0) {
        split(line, f, "\t")
        if (!((f[1], f[2]) in broken))
            broken[f[1], f[2]] = f[4] " (run " f[3] ")"
    }
    while (flags != "" && (getline line < flags) > 0) {
        split(line, f, "\t")
        flagged[++flagCount] = sprintf("%s in %s, run %s: %s", f[2], f[1], f[3], f[4])
    }
    while (baseline != "" && (getline line < baseline) > 0) {
        split(line, f, "\t")
        baseRps[f[1], f[2]] = f[3]
    }
    # Goal ratios of requests per second against the better peer.
    split("ka-1 1.25 ka-50 1.5 ka-250 1.5 close-1 1.1 close-50 1.5 close-250 1.5 " \
          "ka-50-100k 1.5 pipeline-50 1.5", g, " ")
    for (i = 1; i < 16; i += 2) { goal[g[i]] = g[i + 1]; goalOrder[++goals] = g[i] }
}

{
    s = $1; t = $2
    if (!(s in seen)) { seen[s] = 1; order[++count] = s }
    rps[s, t] = $3; p50[s, t] = $4; p99[s, t] = $5; mbs[s, t] = $6; rss[s, t] = $7
    err[s, t] = $8; late[s, t] = $9
}

END {
    split("direct vesktor tinyproxy privoxy", targets, " ")
    shown = split("direct vesktor vesktor-inspect vesktor-tunnel tinyproxy privoxy " \
                  "privoxy-inspect privoxy-tunnel", shownTargets, " ")
    printf "\n%-14s %-15s %8s %7s %7s %7s %7s %6s %6s   %s\n", "scenario", "target", "req/s",
           "p50 ms", "p99 ms", "MB/s", "RSS MiB", "errors", "GUI ms",
           "Vesktor / tinyproxy, Privoxy, direct"
    for (k = 1; k <= count; k++) {
        s = order[k]
        isTransfer = (s ~ /load-/)
        first = 1
        for (n = 1; n <= shown; n++) {
            t = shownTargets[n]
            if (!has(s, t))
                continue
            extra = ""
            if (t == "vesktor" && isTransfer)
                extra = ratio(mbs[s, t], mbs[s, "tinyproxy"]) "  " \
                        ratio(mbs[s, t], mbs[s, "privoxy"]) "  " \
                        ratio(mbs[s, t], mbs[s, "direct"]) "  (MB/s)"
            else if (t == "vesktor" && s != "idle")
                extra = ratio_to(s, "tinyproxy") "  " ratio_to(s, "privoxy") "  " \
                        ratio_to(s, "direct") "  (req/s)"
            else if (t == "vesktor-inspect" && s != "idle")
                extra = ratio(rps[s, t], rps_of(s, "vesktor-tunnel")) " x its tunnel, " \
                        ratio(rps[s, t], rps_of(s, "privoxy-inspect")) " x Privoxy inspecting, " \
                        ratio(rps[s, t], rps_of(s, "direct")) " x direct"
            else if (t == "vesktor-tunnel" && s != "idle") {
                extra = ratio(rps[s, t], rps_of(s, "privoxy-tunnel")) " x Privoxy's tunnel, " \
                        ratio(rps[s, t], rps_of(s, "direct")) " x direct"
                if ((s, t) in baseRps)
                    extra = extra ", " ratio(rps[s, t], baseRps[s, t]) " x base build"
            }
            printf "%-14s %-15s %8s %7s %7s %7s %7s %6s %6s   %s\n", (first ? s : ""), t, rps[s, t],
                   ms(p50[s, t]), ms(p99[s, t]), mbs[s, t], mib(rss[s, t]), err[s, t], late[s, t],
                   extra
            first = 0
        }
    }
    for (k = 1; k <= count; k++)
        for (n = 3; n <= 4; n++)
            if ((order[k], targets[n]) in broken)
                printf "%s breaks under %s: %s\n", targets[n], order[k],
                       broken[order[k], targets[n]]
    for (i = 1; i <= flagCount; i++)
        printf "flagged: %s\n", flagged[i]

    print "\nGoals, from the medians above:"
    for (i = 1; i <= goals; i++) {
        s = goalOrder[i]
        if (!has(s, "vesktor")) {
            printf "  %-13s not measured\n", s
            continue
        }
        best = better_peer(s)
        # Judged as printed, to two decimals.
        r = (best > 0) ? sprintf("%.2f", rps[s, "vesktor"] / best) + 0 : 0
        line = sprintf("  %-13s req/s >= %s x %s: %.2f, %s", s, goal[s], base_name, r,
                       verdict(r >= goal[s]))
        if (best > 0 && chart_data != "") {
            note = base_name
            sub(/^better peer ?/, "", note)
            gsub(/[()]/, "", note)
            sub(/^direct/, "to direct;", note)
            sub(/;$/, "", note)
            printf "%s\t%.2f\t%s\t%s\n", s, r, goal[s], note > chart_data
        }
        if (s !~ /^pipeline/) {
            # "The better peer's" p99, read strictly: the lower of the two.
            low = p99[s, "tinyproxy"] + 0
            if (p99[s, "privoxy"] + 0 < low)
                low = p99[s, "privoxy"] + 0
            if (s ~ /-1$/)
                line = line sprintf("; p99 within 20 %% of the better peer's: %s ms vs %s ms, %s",
                                    ms(p99[s, "vesktor"]), ms(low),
                                    verdict(p99[s, "vesktor"] + 0 <= 1.2 * low))
            else
                line = line sprintf("; p99 no worse than the better peer's: %s ms vs %s ms, %s",
                                    ms(p99[s, "vesktor"]), ms(low),
                                    verdict(p99[s, "vesktor"] + 0 <= low))
        }
        print line
    }

    idle = rss["idle", "vesktor"]
    if (has("download-256m", "vesktor")) {
        r = mbs["download-256m", "vesktor"] / mbs["download-256m", "direct"]
        printf "  download-256m MB/s >= 1.0 x direct: %.2f, %s\n", r, verdict(r >= 1.0)
    } else
        printf "  download-256m not measured\n"
    if (has("upload-256m", "vesktor")) {
        r = mbs["upload-256m", "vesktor"] / mbs["upload-256m", "direct"]
        growth = (rss["upload-256m", "vesktor"] - idle) / 1024
        printf "  upload-256m   MB/s >= 0.8 x direct: %.2f, %s; peak memory growth over idle: " \
               "%.1f MiB (goal <= 8 MiB), %s\n", r, verdict(r >= 0.8), growth,
               verdict(growth <= 8)
    } else
        printf "  upload-256m   not measured\n"

    # The peaks are taken from the present size before each run, which after the earlier
    # scenarios can be above the idle size; growth is counted from the idle size all the same.
    peak = -1
    if (has("ka-250", "vesktor")) peak = rss["ka-250", "vesktor"] + 0
    if (has("close-250", "vesktor") && rss["close-250", "vesktor"] + 0 > peak)
        peak = rss["close-250", "vesktor"] + 0
    if (peak >= 0) {
        growth = (peak - idle) / 1024
        printf "  peak memory growth over idle at 250 connections: %.1f MiB (idle %.1f, " \
               "peak %.1f; goal <= 8 MiB), %s\n", growth, idle / 1024, peak / 1024,
               verdict(growth <= 8)
    } else
        printf "  peak memory growth over idle at 250 connections: not measured\n"
    if (has("ka-250", "vesktor"))
        printf "  worst GUI timer lateness during ka-250: %s ms (goal: 10 ms or less), %s\n",
               late["ka-250", "vesktor"], verdict(late["ka-250", "vesktor"] + 0 <= 10)
    else
        printf "  worst GUI timer lateness during ka-250: not measured\n"
    https_goals()
}

# The HTTPS goals: inspecting at least half as fast as Vesktor's own blind tunnel and 20 times
# Privoxy's inspecting, at 50 connections with and without keep-alive; blind tunnels no slower
# than the base build's (when a baseline is given); at 250 inspected connections, memory
# growth over idle of 32 MiB or less and the window's timer 10 ms late or less.
function https_goals(    n, s, r, p, growth, idle, peak, relative, own) {
    split("https-ka-50 https-close-50", inspected, " ")
    for (n = 1; n <= 2; n++) {
        s = inspected[n]
        if (!has(s, "vesktor-inspect")) {
            printf "  %-14s inspecting: not measured\n", s
            continue
        }
        r = sprintf("%.2f", ratio(rps[s, "vesktor-inspect"], rps_of(s, "vesktor-tunnel"))) + 0
        p = sprintf("%.1f", ratio(rps[s, "vesktor-inspect"], rps_of(s, "privoxy-inspect"))) + 0
        printf "  %-14s inspecting req/s >= 0.5 x its tunnel: %.2f, %s; >= 20 x Privoxy " \
               "inspecting: %.1f, %s\n", s, r, verdict(r >= 0.5), p, verdict(p >= 20)
        if (https_chart_data != "") {
            printf "%s\t%.2f\t0.5\tinspecting / tunnel\n", s, r > https_chart_data
            printf "%s\t%.1f\t20\tinspecting / Privoxy\n", s, p > https_chart_data
        }
    }
    split("https-ka-50 https-close-50 https-ka-250", blind, " ")
    for (n = 1; n <= 3; n++) {
        s = blind[n]
        if (!has(s, "vesktor-tunnel") || !((s, "vesktor-tunnel") in baseRps)) {
            printf "  %-14s tunnel req/s >= 1.0 x base build: not measured%s\n", s,
                   baseline == "" ? " (no BENCH_BASELINE)" : ""
            continue
        }
        r = sprintf("%.2f", rps[s, "vesktor-tunnel"] / baseRps[s, "vesktor-tunnel"]) + 0
        # Each run's tunnel over its own direct figure: what the machine's load took from both.
        relative = "-"
        if (((s, "direct") in baseRps) && baseRps[s, "direct"] > 0 && rps_of(s, "direct") > 0) {
            own = rps[s, "vesktor-tunnel"] / rps[s, "direct"]
            relative = sprintf("%.2f", own / (baseRps[s, "vesktor-tunnel"] / baseRps[s, "direct"]))
        }
        printf "  %-14s tunnel req/s >= 1.0 x base build: %.2f (%s vs %s; each over its run's " \
               "direct: %s), %s\n", s, r, rps[s, "vesktor-tunnel"], baseRps[s, "vesktor-tunnel"],
               relative, verdict(r >= 1.0)
        if (https_chart_data != "")
            printf "%s\t%.2f\t1\ttunnel / base\n", s, r > https_chart_data
    }
    s = "https-ka-250"
    if (has(s, "vesktor-inspect")) {
        idle = rss["idle", "vesktor-inspect"]
        peak = rss[s, "vesktor-inspect"]
        growth = (peak - idle) / 1024
        printf "  peak memory growth over idle at 250 inspected connections: %.1f MiB " \
               "(idle %.1f, peak %.1f; goal <= 32 MiB), %s\n", growth, idle / 1024,
               peak / 1024, verdict(growth <= 32)
        printf "  worst GUI timer lateness during https-ka-250, inspecting: %s ms " \
               "(goal: 10 ms or less), %s\n", late[s, "vesktor-inspect"],
               verdict(late[s, "vesktor-inspect"] + 0 <= 10)
    } else
        printf "  memory and GUI timer lateness at 250 inspected connections: not measured\n"
}
