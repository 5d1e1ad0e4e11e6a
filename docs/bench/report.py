#!/usr/bin/env python3
"""Turns the raw results of scripts/bench.sh into docs/bench/results.md and results.png.

Inputs (all in --results): natives.json and kqueue.json (Google Benchmark JSON),
jmh-micro.json (JMH JSON), echo.jsonl and file.jsonl (one JSON object per JMH trial,
written by io.ovrel.demo.EchoBench and io.ovrel.bench.FileTransfer), machine.txt.
"""
import argparse
import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def gbench(path):
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        unit = b.get("time_unit", "ns")
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]
        out[b["name"]] = b["real_time"] * scale
    return out


def jmh(path):
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data:
        name = b["benchmark"].rsplit(".", 2)
        out[name[-2] + "." + name[-1]] = (b["primaryMetric"]["score"], b["primaryMetric"]["scoreError"])
    return out


def lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(l) for l in f if l.strip()]


def fmt(v, digits=1):
    return "–" if v is None else f"{v:,.{digits}f}"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def yes(ok):
    return "–" if ok is None else ("yes" if ok else "**no**")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--md", required=True)
    ap.add_argument("--png", required=True)
    ap.add_argument("--command", required=True)
    args = ap.parse_args()
    r = args.results
    c = gbench(os.path.join(r, "natives.json"))
    kq = gbench(os.path.join(r, "kqueue.json"))
    m = jmh(os.path.join(r, "jmh-micro.json"))
    echo = lines(os.path.join(r, "echo.jsonl"))
    files = lines(os.path.join(r, "file.jsonl"))
    with open(os.path.join(r, "machine.txt")) as f:
        machine = f.read().strip()

    def j(name):
        v = m.get(name)
        return None if v is None else v[0]

    md = []
    md.append("# Benchmark results\n")
    md.append("Produced by `" + args.command + "`.\n")
    md.append("```\n" + machine + "\n```\n")
    md.append("All traffic is on this machine: pipes, 127.0.0.1 TCP and UDP. Times are per call "
              "(JMH average time, one fork; Google Benchmark real time). *limit* is the same "
              "system call made straight from C (`bench/natives_bench.cpp`), *FFM* a "
              "java.lang.foreign downcall of the libc function, *NIO* the JDK's own channel call.\n")

    # ---- hot natives ----
    md.append("## Hot natives (ns per call)\n")
    md.append("| benchmark | ours | limit (C) | FFM | NIO | ours / limit | ours / FFM | target | met? |")
    md.append("|---|---:|---:|---:|---:|---:|---:|---|---|")
    micro_rows = [
        ("read 1 B, pipe (readAddress)", "PipeIo.read_ours_readAddress", "c/read_1B_pipe", "PipeIo.read_ffm", "PipeIo.read_nio"),
        ("read 1 B, pipe (read, ByteBuffer)", "PipeIo.read_ours_read", "c/read_1B_pipe", "PipeIo.read_ffm", "PipeIo.read_nio"),
        ("write 1 B, pipe (writeAddress)", "PipeIo.write_ours_writeAddress", "c/write_1B_pipe", "PipeIo.write_ffm", "PipeIo.write_nio"),
        ("write 1 B, pipe (write, ByteBuffer)", "PipeIo.write_ours_write", "c/write_1B_pipe", "PipeIo.write_ffm", "PipeIo.write_nio"),
        ("writev 8×8 B, pipe (writevAddresses)", "Writev.writev_ours_writevAddresses", "c/writev_8x8B_pipe", "Writev.writev_ffm", "Writev.writev_nio"),
        ("writev 8×8 B, pipe (writev, ByteBuffer[])", "Writev.writev_ours_writev", "c/writev_8x8B_pipe", "Writev.writev_ffm", "Writev.writev_nio"),
        ("keventWait, zero timeout, nothing ready (limit: our kevent from C)", "Poll.poll_ours_keventWait", "c/kevent_poll_empty", "Poll.poll_ffm_epollWait", "Poll.poll_nio_selectNow"),
        ("keventWait, same (limit: raw epoll_wait from C)", "Poll.poll_ours_keventWait", "c/epoll_wait_poll_empty", "Poll.poll_ffm_epollWait", "Poll.poll_nio_selectNow"),
        ("evSet (FFM column: MemorySegment stores; Unsafe below)", "EvSet.evSet_ours", "c/ev_set", "EvSet.evSet_java_memorySegment", None),
        ("sendTo 64 B, UDP loopback (sendToAddress)", "SendTo.sendTo_ours_sendToAddress", "c/sendto_64B_udp_loopback", "SendTo.sendTo_ffm", "SendTo.sendTo_nio"),
        ("sendTo 64 B, UDP loopback (sendTo, ByteBuffer)", "SendTo.sendTo_ours_sendTo", "c/sendto_64B_udp_loopback", "SendTo.sendTo_ffm", "SendTo.sendTo_nio"),
    ]
    chart_micro = []
    for label, ours, lim, ffm, nio in micro_rows:
        o, l, f_, n = j(ours), c.get(lim), j(ffm), (j(nio) if nio else None)
        rl, rf = ratio(o, l), ratio(o, f_)
        ok = None if rl is None or rf is None else (rl <= 1.15 and rf <= 1.0)
        md.append(f"| {label} | {fmt(o)} | {fmt(l)} | {fmt(f_)} | {fmt(n)} | {fmt(rl, 2)}x | {fmt(rf, 2)}x "
                  f"| ≤ 1.15x limit, ≤ 1.00x FFM | {yes(ok)} |")
        if "limit:" in label:
            short = "keventWait (limit: " + ("our kevent)" if "our kevent" in label else "epoll_wait)")
        elif label.startswith("evSet"):
            short = "evSet (FFM: MemorySegment)"
        else:
            short = label.replace(", UDP loopback", "").replace(", pipe", "")
        chart_micro.append((short, o, l, f_, n))
    u = j("EvSet.evSet_java_unsafe")
    bb = j("EvSet.evSet_java_byteBuffer")
    md.append(f"\nevSet written from Java instead: Unsafe {fmt(u)} ns, direct ByteBuffer {fmt(bb)} ns.\n")

    # ---- echo ----
    md.append("## Echo over 127.0.0.1: the demo's kqueue loop against the same design on NIO\n")
    md.append("Server loop and client loop on two threads of one JVM; one message in flight per "
              "connection; every byte checked. Latency is the client's round trip; heap is what "
              "the two loop threads allocated (ThreadMXBean) divided by the messages echoed.\n")
    md.append("| connections | message | ours msg/s | NIO msg/s | ratio | target | ours p50 / p99 µs | NIO p50 / p99 µs | p99 no worse? | ours heap B/msg | NIO heap B/msg | met? |")
    md.append("|---:|---:|---:|---:|---:|---|---|---|---|---:|---:|---|")
    by = {(e["impl"], e["connections"], e["size"]): e for e in echo}
    chart_echo = []
    for conns in (1, 64, 1024):
        for size in (64, 16384):
            o, n = by.get(("kqueue", conns, size)), by.get(("nio", conns, size))
            if not o or not n:
                continue
            rt = o["messagesPerSecond"] / n["messagesPerSecond"]
            p99ok = o["p99Micros"] <= n["p99Micros"]
            heapok = o["heapBytesPerMessage"] < 1.0
            target = "≥ 1.2x, p99 ≤ NIO, no heap" if conns == 64 else "(reported)"
            met = yes(rt >= 1.2 and p99ok and heapok) if conns == 64 else yes(heapok) + " (heap)"
            md.append(f"| {conns} | {size} B | {fmt(o['messagesPerSecond'], 0)} | {fmt(n['messagesPerSecond'], 0)} "
                      f"| {rt:.2f}x | {target} | {o['p50Micros']:.1f} / {o['p99Micros']:.1f} "
                      f"| {n['p50Micros']:.1f} / {n['p99Micros']:.1f} | {yes(p99ok)} "
                      f"| {o['heapBytesPerMessage']:.3f} | {n['heapBytesPerMessage']:.3f} | {met} |")
            chart_echo.append((f"{conns}c/{size}B", rt))

    # ---- file ----
    md.append("\n## File transfer to a draining 127.0.0.1 peer\n")
    fb = {f_["variant"]: f_ for f_ in files}
    md.append("| variant | MiB/s (until the peer has it all) | sender CPU ms per transfer |")
    md.append("|---|---:|---:|")
    for v in ("ours_sendFile", "ours_copyLoop", "nio_copyLoop", "nio_transferTo"):
        if v in fb:
            md.append(f"| {v} | {fmt(fb[v]['MiBPerSecond'])} | {fmt(fb[v]['senderCpuMillisPerTransfer'])} |")
    if "ours_sendFile" in fb and "ours_copyLoop" in fb:
        s, cl = fb["ours_sendFile"], fb["ours_copyLoop"]
        rt = s["MiBPerSecond"] / cl["MiBPerSecond"]
        cpu = cl["senderCpuMillisPerTransfer"] / s["senderCpuMillisPerTransfer"]
        md.append(f"\nsendFile / copy loop: **{rt:.2f}x** throughput (target ≥ 1.5x: {yes(rt >= 1.5)}), "
                  f"{cpu:.2f}x less sender CPU. Transfers of {fmt(s['MiB'], 0)} MiB.\n")
        if "nio_transferTo" in fb:
            t = fb["nio_transferTo"]
            md.append(f"sendFile / transferTo: {s['MiBPerSecond'] / t['MiBPerSecond']:.2f}x throughput, "
                      f"{t['senderCpuMillisPerTransfer'] / s['senderCpuMillisPerTransfer']:.2f}x sender CPU.\n")

    # ---- kqueue layer ----
    md.append("## The Linux kqueue layer against raw epoll (ns per wait)\n")
    md.append("`bench/kqueue_bench.cpp`: N registered, k ready, every wait returns k events.\n")
    md.append("| descriptors | registered / ready | kevent | epoll | epoll+FIONREAD | kevent / epoll | kevent / epoll+FIONREAD | target ≤ 1.2x | met? |")
    md.append("|---|---|---:|---:|---:|---:|---:|---|---|")
    chart_kq = []
    for src in ("pipe", "eventfd"):
        for nk in ("1/ready:1", "100/ready:1", "100/ready:100", "10000/ready:1", "10000/ready:100"):
            suffix = f"/registered:{nk}"
            k = kq.get(f"{src}/kevent{suffix}")
            e = kq.get(f"{src}/epoll{suffix}")
            ef = kq.get(f"{src}/epoll+FIONREAD{suffix}")
            base = ef if src == "pipe" else e
            rt = ratio(k, base)
            md.append(f"| {src} | {nk.replace('/ready:', ' / ')} | {fmt(k, 0)} | {fmt(e, 0)} | {fmt(ef, 0)} "
                      f"| {fmt(ratio(k, e), 2)}x | {fmt(ratio(k, ef), 2)}x | against {'epoll+FIONREAD' if src == 'pipe' else 'epoll'} | {yes(None if rt is None else rt <= 1.2)} |")
            chart_kq.append((f"{src} {nk.replace('/ready:', '/')}", rt))

    md.append("")
    md.append("The four figures the layer is held to, each next to the raw epoll work it stands for "
              "(a pipe read event includes the `FIONREAD` for its `data`; the user event is an "
              "edge-triggered eventfd written and collected):\n")
    md.append("| row | kevent | raw epoll | kevent / epoll |")
    md.append("|---|---:|---:|---:|")
    for label, kname, ename in (
            ("100 of 10 000 ready", "row/kevent/registered:10000/ready:100",
             "row/epoll+FIONREAD/registered:10000/ready:100"),
            ("1 of 10 000 ready", "row/kevent/registered:10000/ready:1",
             "row/epoll+FIONREAD/registered:10000/ready:1"),
            ("user trigger + wait", "row/kevent_user_trigger", "row/epoll_eventfd_trigger"),
            ("empty poll, timeout 0", "row/kevent/registered:1/ready:0",
             "row/epoll+FIONREAD/registered:1/ready:0")):
        k, e = kq.get(kname), kq.get(ename)
        md.append(f"| {label} | {fmt(k, 0)} | {fmt(e, 0)} | {fmt(ratio(k, e), 2)}x |")

    with open(args.md, "w") as f:
        f.write("\n".join(md) + "\n\n![benchmark chart](results.png)\n")

    # ---- chart ----
    fig, axes = plt.subplots(2, 2, figsize=(16, 11))
    ax = axes[0][0]
    labels = [row[0] for row in chart_micro]
    width = 0.2
    series = [("ours", 1, "#1f77b4"), ("limit (C)", 2, "#2ca02c"), ("FFM", 3, "#ff7f0e"), ("NIO", 4, "#9467bd")]
    for i, (name, idx, color) in enumerate(series):
        vals = [row[idx] if row[idx] is not None else 0 for row in chart_micro]
        ax.barh([y + i * width for y in range(len(labels))], vals, width, label=name, color=color)
    ax.set_yticks([y + 1.5 * width for y in range(len(labels))])
    ax.set_yticklabels(labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("ns per call (log)")
    ax.set_title("Hot natives against C, FFM and NIO")
    ax.legend(fontsize=8)

    ax = axes[0][1]
    ax.bar([e[0] for e in chart_echo], [e[1] for e in chart_echo], color="#1f77b4")
    ax.axhline(1.2, color="red", linestyle="--", label="target at 64 connections: 1.2x")
    ax.axhline(1.0, color="grey", linestyle=":")
    ax.set_ylabel("kqueue loop msg/s ÷ NIO msg/s")
    ax.set_title("Echo throughput, ours ÷ NIO")
    ax.legend(fontsize=8)
    ax.tick_params(axis="x", labelsize=8)

    ax = axes[1][0]
    names = [v for v in ("ours_sendFile", "ours_copyLoop", "nio_copyLoop", "nio_transferTo") if v in fb]
    ax.bar(names, [fb[v]["MiBPerSecond"] for v in names], color="#2ca02c", label="MiB/s")
    ax.set_ylabel("MiB/s until the peer has it all")
    ax2 = ax.twinx()
    ax2.plot(names, [fb[v]["senderCpuMillisPerTransfer"] for v in names], "o-", color="#d62728", label="sender CPU ms")
    ax2.set_ylabel("sender CPU ms per transfer")
    ax.set_title("File transfer to a draining loopback peer")
    ax.tick_params(axis="x", labelsize=8)

    ax = axes[1][1]
    ax.bar([k_[0] for k_ in chart_kq], [k_[1] or 0 for k_ in chart_kq], color="#9467bd")
    ax.axhline(1.2, color="red", linestyle="--", label="target 1.2x")
    ax.set_ylabel("kevent ÷ epoll (pipes: ÷ epoll+FIONREAD)")
    ax.set_title("Linux kqueue layer against raw epoll")
    ax.tick_params(axis="x", labelsize=7, rotation=45)
    ax.legend(fontsize=8)

    fig.suptitle(args.command, fontsize=10)
    fig.tight_layout()
    fig.savefig(args.png, dpi=90)


if __name__ == "__main__":
    main()
