# Prints the benchmark's table and the goals from the medians that run.sh collects, one line
# per scenario and target, tab-separated:
#   scenario target req/s p50_us p99_us MB/s peak_KiB errors     ("-" where nothing applies)
function ms(us) { return us == "-" ? "-" : sprintf("%.2f", us / 1000) }
function mib(kib) { return kib == "-" ? "-" : sprintf("%.1f", kib / 1024) }
function ratio(a, b) { return (b + 0) > 0 ? sprintf("%.2f", a / b) : "-" }
function verdict(isMet) { return isMet ? "met" : "NOT met" }

{
    s = $1; t = $2
    if (!(s in seen)) { seen[s] = 1; order[++count] = s }
    rps[s, t] = $3; p50[s, t] = $4; p99[s, t] = $5; mbs[s, t] = $6; rss[s, t] = $7
    err[s, t] = $8
}

END {
    split("direct vesktor tinyproxy privoxy", targets, " ")
    printf "\n%-13s %-9s %8s %7s %7s %7s %6s %6s   %s\n", "scenario", "target", "req/s",
           "p50 ms", "p99 ms", "MB/s", "RSS MiB", "errors", "Vesktor / tinyproxy, Privoxy, direct"
    for (k = 1; k <= count; k++) {
        s = order[k]
        isDownload = (s ~ /^download/)
        for (n = 1; n <= 4; n++) {
            t = targets[n]
            extra = ""
            if (t == "vesktor" && isDownload)
                extra = ratio(mbs[s, t], mbs[s, "tinyproxy"]) "  " ratio(mbs[s, t], mbs[s, "privoxy"]) \
                        "  " ratio(mbs[s, t], mbs[s, "direct"]) "  (MB/s)"
            else if (t == "vesktor")
                extra = ratio(rps[s, t], rps[s, "tinyproxy"]) "  " ratio(rps[s, t], rps[s, "privoxy"]) \
                        "  " ratio(rps[s, t], rps[s, "direct"]) "  (req/s)"
            printf "%-13s %-9s %8s %7s %7s %7s %7s %6s   %s\n", (n == 1 ? s : ""), t, rps[s, t],
                   ms(p50[s, t]), ms(p99[s, t]), mbs[s, t], mib(rss[s, t]), err[s, t], extra
        }
    }

    print "\nGoals, from the medians above:"
    worst = 0
    for (k = 1; k <= count; k++) {
        s = order[k]
        if (s ~ /250/ && rss[s, "vesktor"] + 0 > worst)
            worst = rss[s, "vesktor"] + 0
        if (s ~ /^download/) {
            r = mbs[s, "vesktor"] / mbs[s, "direct"]
            printf "  %-13s MB/s >= 0.8 x direct: %.2f, %s\n", s, r, verdict(r >= 0.8)
            continue
        }
        best = rps[s, "tinyproxy"] + 0
        if (rps[s, "privoxy"] + 0 > best)
            best = rps[s, "privoxy"] + 0
        r = rps[s, "vesktor"] / best
        # The stricter reading of "no worse than the better peer": the lower p99 of the two.
        low = p99[s, "tinyproxy"] + 0
        if (p99[s, "privoxy"] + 0 < low)
            low = p99[s, "privoxy"] + 0
        printf "  %-13s req/s >= 1.5 x better peer: %.2f, %s; p99 %s ms vs %s ms, %s\n", s, r,
               verdict(r >= 1.5), ms(p99[s, "vesktor"]), ms(low),
               verdict(p99[s, "vesktor"] + 0 <= low)
    }
    printf "  peak RSS with 250 connections <= 32 MiB: %.1f MiB, %s\n", worst / 1024,
           verdict(worst <= 32768)
}
