"""velmora: list, inspect, remove and unlock the shared-memory segments of this
machine, and bridge a ring or a broadcast to another host (velmora bridge, with pyzmq).

Exit status: 0 success, 1 failure (for example a name that does not exist),
2 usage error.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

from velmora import _segments as segments
from velmora._segments import SegmentError

PROG = "velmora"


def _age(seconds: float) -> str:
    for unit, span in (("d", 86400), ("h", 3600), ("m", 60)):
        if seconds >= span:
            return f"{int(seconds // span)}{unit}"
    return f"{int(seconds)}s"


def _table(rows: list, out) -> None:
    """Left-aligned columns, two blanks apart; the last column is not padded."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        cells = [c.ljust(w) for c, w in zip(r[:-1], widths)] + [r[-1]]
        print("  ".join(cells).rstrip(), file=out)


# The table's name column is at most this wide; a longer name is cut in the
# middle (inspect and --json give it whole).
NAME_WIDTH = 40


def _fit(text: str, width: int) -> str:
    if len(text) <= width:
        return text
    keep = width - 3
    return text[: keep - keep // 2] + "..." + text[len(text) - keep // 2 :]


def _procs(seg: segments.Segment) -> str:
    return str(len(seg.pids)) + ("" if seg.pids_complete else "?")


# The table's two role columns: who sends and who receives, by kind.
_SENDER = {"ring": "producer", "mpsc": "producer", "broadcast": "publisher"}
_RECEIVER = {"ring": "consumer", "mpsc": "consumer", "broadcast": "subscriber"}


def _role(seg: segments.Segment, role: str | None) -> str:
    """A channel role's holders for the table: their pids, "-" when free, "?"
    when held by a process this user cannot see; blank for a kind without it."""
    if role is None or role not in seg.claims.held:
        return ""
    pids = seg.claims.pids.get(role, [])
    if pids:
        return ",".join(map(str, pids))
    return "?" if seg.claims.held.get(role) else "-"


def _print_json(value, out) -> None:
    json.dump(value, out, indent=2)
    out.write("\n")


# ---- commands --------------------------------------------------------------------------


def cmd_list(args, out) -> int:
    found = segments.list_segments(args.pattern)
    if args.json:
        _print_json([s.as_dict() for s in found], out)
        return 0
    if not found:
        print(f"no segments in {segments.SHM_DIR}" + (f" match {args.pattern!r}" if args.pattern else ""), file=out)
        return 0
    rows = [["NAME", "SIZE", "OWNER", "MODE", "AGE", "PROCS", "PRODUCER", "CONSUMER", "KIND", "STATE"]]
    for s in found:
        rows.append([_fit(s.name, NAME_WIDTH), str(s.size), s.owner, s.mode, _age(s.age), _procs(s), _role(s, _SENDER.get(s.content.kind)) or "-",
                     _role(s, _RECEIVER.get(s.content.kind)) or "-", s.content.kind, s.content.state])
    _table(rows, out)
    if not all(s.pids_complete for s in found):
        print("(?: some processes' mappings could not be read; PROCS counts only the others)", file=out)
    return 0


def cmd_inspect(args, out) -> int:
    seg = segments.get_segment(args.name)
    info = seg.as_dict(commands=True)
    if args.json:
        _print_json(info, out)
        return 0
    created = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seg.created))
    fields = [
        ("name", seg.name), ("path", segments.SHM_DIR + seg.name), ("size", str(seg.size)), ("owner", seg.owner),
        ("mode", seg.mode), ("age", f"{_age(seg.age)} (since {created})"), ("kind", seg.content.kind),
    ]
    for key, value in seg.content.details.items():
        if value is not None:
            if isinstance(value, dict):  # a broadcast's lag per subscriber pid
                value = ", ".join(f"pid {k}: {v}" for k, v in value.items()) or "-"
            fields.append((key.replace("_", " "), ("yes" if value else "no") if isinstance(value, bool) else str(value)))
    fields.append(("state", seg.content.state))
    for role in seg.claims.held:
        if role != "attached":
            fields.append((role, _role(seg, role)))
    fields.append(("processes", _procs(seg)))
    width = max(len(k) for k, _ in fields) + 1
    for key, value in fields:
        print(f"{key + ':':<{width}} {value}", file=out)
    if info["mapped_by"]:
        print(file=out)
        _table([["PID", "COMMAND"]] + [[str(p["pid"]), p["command"]] for p in info["mapped_by"]], out)
    return 0


def cmd_remove(args, out) -> int:
    results = []
    for name in args.names:
        try:
            shown = segments.remove_segment(name)
            results.append({"name": shown, "removed": True})
            if not args.json:
                print(f"removed {shown}", file=out)
        except SegmentError as exc:
            results.append({"name": name, "removed": False, "error": str(exc)})
            print(f"{PROG}: {exc}", file=sys.stderr)
    if args.json:
        _print_json(results, out)
    return 0 if all(r["removed"] for r in results) else 1


def _report_unlock(seg, before: int, args, out) -> None:
    was = segments.classify(before.to_bytes(4, "little", signed=True), segments.LOCK_WORD).state
    if args.json:
        _print_json({"name": seg.name, "unlocked": True, "lock_word_before": before, "was": was}, out)
    elif before == 0:
        print(f"{seg.name}: already unlocked", file=out)
    else:
        print(f"{seg.name}: lock word reset (was {was})", file=out)


def cmd_unlock(args, out) -> int:
    """Without --force, only a word that reads as a lock left held is reset:
    write-locked (-1), or held by readers while no other process has a view of
    the segment open.
    Anything else is refused with what was seen, and nothing is written.
    Either way the word written is the one of the file looked at, and success
    is reported only for a word that reads 0 after the reset."""
    seg = segments.get_segment(args.name)
    if args.force:
        _report_unlock(seg, segments.reset_lock_word(seg), args, out)
        return 0
    seen = seg.content.state
    if seg.content.kind == "ring":
        raise SegmentError(f"{seg.name} holds a ring, whose first bytes are a counter, not a lock word "
                           "(use --force to zero them anyway)")
    if seg.content.kind != "view":
        raise SegmentError(f"{seg.name} does not read as a view's lock word ({seen}); nothing changed "
                           "(use --force to zero its first 4 bytes anyway)")
    if not seg.claims.known:
        raise SegmentError(f"cannot tell whether other processes have {seg.name} open (the module cannot "
                           "open it by this name); nothing changed (use --force to reset anyway)")
    # The module's own liveness test: a live process other than this one with
    # a view of the segment open (the test a waiting view runs before it
    # recovers a dead holder's lock by itself).
    attached = seg.claims.pids.get("attached", [])
    if attached or seg.claims.held.get("attached"):
        pids = ", ".join(map(str, attached)) or "not visible to this user"
        raise SegmentError(f"{seg.name} is mapped by {len(attached) or 'some'} other process(es) (pid {pids}); "
                           "a holder may still be inside (use --force to reset anyway)")
    word = seg.content.details["lock_word"]
    _report_unlock(seg, segments.reset_lock_word(seg, expect=word), args, out)
    return 0


def _rate(value: float) -> str:
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if value >= scale:
            return f"{value / scale:.1f}{unit}"
    return f"{value:.0f}"


def _progress(stats, since=None) -> str:
    """Totals, and the rate since `since` (an earlier as_dict()) or overall."""
    d = stats.as_dict()
    msgs, nbytes, seconds = d["messages"], d["bytes"], d["seconds"]
    if since is not None:
        msgs, nbytes, seconds = msgs - since["messages"], nbytes - since["bytes"], seconds - since["seconds"]
    per = 1 / seconds if seconds > 0 else 0.0
    line = (f"{d['messages']} messages, {_rate(d['bytes'])}B, {_rate(msgs * per)} msg/s, "
            f"{_rate(nbytes * per)}B/s, {d['gaps']} gaps ({d['lost']} lost)")
    for key in ("unsent", "rejected", "duplicates", "malformed", "foreign", "unauthorised", "missed"):
        if d[key]:
            line += f", {d[key]} {key}"
    return line


def cmd_keygen(args, out) -> int:
    from velmora import bridge

    try:
        public, secret = bridge.keygen(args.directory, args.key_name)
    except bridge.BridgeError as exc:
        raise SegmentError(str(exc)) from None
    if args.json:
        _print_json({"public": public, "secret": secret}, out)
    else:
        print(f"public key: {public} (for the peers)\nsecret key: {secret} (for --curve-secret; keep it here)",
              file=out)
    return 0


def cmd_bridge(args, out) -> int:
    """Runs one bridge on a thread; this thread shows progress and turns Ctrl-C
    or SIGTERM into stop()."""
    import logging
    import signal
    import warnings

    from velmora import bridge

    if args.role == "keygen":
        return cmd_keygen(args, out)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{PROG} bridge {args.role}: %(message)s"))
    bridge.log.addHandler(handler)
    # Quiet by default: gaps, drops and refusals; -v adds peers coming and
    # going, streams joined and ended.
    bridge.log.setLevel(logging.WARNING if args.verbose == 0 else logging.INFO if args.verbose == 1 else logging.DEBUG)
    bind = args.bind is not None
    endpoint = args.bind if bind else args.connect
    bridge.tune_allocator()  # this process is the bridge's alone
    state = False if args.no_state else (args.state or True)
    options = {"state": state, "hwm": args.hwm, "spin": args.spin, "wait": args.wait,
               "curve_secret": args.curve_secret, "curve_server": args.curve_server,
               "curve_allow": args.curve_allow}
    if args.role == "receive":
        options["allow_objects"] = args.allow_objects
    b: bridge.Sender | bridge.Receiver

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)  # while it waits for the segment
    try:
        bridge._zmq()  # says what is missing before any wait
        if args.wait:
            try:
                from velmora import _segments

                _segments.locate(args.name)
            except SegmentError:
                print(f"{PROG} bridge {args.role}: waiting for {args.name} to appear", file=sys.stderr, flush=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the log says it (a binding bridge without keys)
            if args.role == "send":
                b = bridge.Sender(args.name, endpoint, bind, **options)
            else:
                b = bridge.Receiver(endpoint, args.name, bind, **options)
    except bridge.BridgeError as exc:
        raise SegmentError(str(exc)) from None
    except KeyboardInterrupt:
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)
    if bind:
        print(f"{PROG} bridge {args.role}: bound at {b.address}", file=sys.stderr, flush=True)
    previous = signal.signal(signal.SIGTERM, lambda *_: b.stop(0))
    tty = sys.stderr.isatty()
    try:
        b.start()  # inside: Ctrl-C as soon as the bridge runs must still stop it cleanly
        last, shown = b.stats.as_dict(), time.monotonic()
        # Sleeps, not waits on the bridge's event: Ctrl-C inside a wait on a
        # lock could leave that lock taken, and the bridge thread then hangs on it.
        while b.running:
            time.sleep(0.05)
            if tty and time.monotonic() - shown >= 0.5:
                print("\r\033[K" + _progress(b.stats, last), end="", file=sys.stderr, flush=True)
                last, shown = b.stats.as_dict(), time.monotonic()
    except KeyboardInterrupt:
        pass
    finally:
        b.stop()
        signal.signal(signal.SIGTERM, previous)
    if tty:
        print("\r\033[K", end="", file=sys.stderr)
    print(f"{PROG} bridge {args.role}: {_progress(b.stats)}", file=sys.stderr)
    if args.json:
        _print_json({"role": args.role, "endpoint": endpoint, "bind": bind, "name": args.name,
                     **b.stats.as_dict()}, out)
    if b.error is not None:
        print(f"{PROG}: bridge failed: {b.error}", file=sys.stderr)
        return 1
    return 0


# ---- entry point -----------------------------------------------------------------------


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("velmora")
    except Exception:  # not installed as a distribution: the module knows
        import velmora

        return velmora.__version__


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print JSON for scripts instead of a table")
    parser = argparse.ArgumentParser(
        prog=PROG, parents=[common],
        description=f"List, inspect, remove and unlock shared-memory segments ({segments.SHM_DIR}); "
                    "bridge a ring or a broadcast to another host.",
        epilog="Exit status: 0 success, 1 failure, 2 usage error.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    p = sub.add_parser("list", parents=[common], help="list the segments with what they seem to hold",
                       description="List the named segments with what they seem to hold. Anonymous channels "
                                   "(create(None, ...)) have no name and no file here: they are not listed, "
                                   "and go away with the last process using them.")
    p.add_argument("pattern", metavar="PATTERN", nargs="?",
                   help="only names that match this shell-style pattern, e.g. 'jobs-*'")
    p.set_defaults(run=cmd_list)
    p = sub.add_parser("inspect", parents=[common], help="one segment in detail, with the processes that map it")
    p.add_argument("name", metavar="NAME", help="segment name, e.g. /jobs")
    p.set_defaults(run=cmd_inspect)
    p = sub.add_parser("remove", parents=[common], help="unlink segment names (existing mappings stay valid)")
    p.add_argument("names", metavar="NAME", nargs="+")
    p.set_defaults(run=cmd_remove)
    p = sub.add_parser("unlock", parents=[common],
                       help="reset a view's lock word left held by a process that died")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--force", action="store_true",
                   help="reset even while other processes map the segment, or if it looks like a ring")
    p.set_defaults(run=cmd_unlock)
    p = sub.add_parser("bridge", help="carry a ring or a broadcast to or from another host over ZeroMQ (needs pyzmq)")
    roles = p.add_subparsers(dest="role", metavar="ROLE", required=True)
    ends = {"send": "Runs until Ctrl-C or SIGTERM, or until the source ends (a ring's producers have gone "
                    "and it is drained, a broadcast's publisher has closed), which it passes on.",
            "receive": "Runs until Ctrl-C or SIGTERM, or until the sending side passes on the end of its stream; "
                       "then, having opened NAME itself, it lets its producer or publisher role go, so local "
                       "readers see the end too."}
    for role, text in (("send", "drain the segment NAME into ZeroMQ at ENDPOINT"),
                       ("receive", "take messages from ZeroMQ at ENDPOINT into the segment NAME")):
        r = roles.add_parser(role, help=text, description=text + " (PUSH/PULL for a ring, PUB/SUB for a broadcast). "
                             + ends[role] + " The side that binds is the CURVE server: it gives --curve-secret and "
                             "--curve-allow, the side that connects --curve-secret and --curve-server. Without keys, "
                             "binding an address other than loopback or ipc:// is warned about.",
                             usage=f"{PROG} bridge {role} " + ("NAME (--bind|--connect) ENDPOINT" if role == "send"
                                                             else "(--bind|--connect) ENDPOINT NAME") + " [options]")
        r.add_argument("--json", action="store_true", help="print the bridge's counters as JSON at exit")
        where = r.add_mutually_exclusive_group(required=True)
        where.add_argument("--bind", metavar="ENDPOINT", help="bind at ENDPOINT, e.g. tcp://*:5555")
        where.add_argument("--connect", metavar="ENDPOINT", help="connect to ENDPOINT, e.g. tcp://hostA:5555")
        r.add_argument("name", metavar="NAME", help="segment name, e.g. /jobs")
        keep = r.add_mutually_exclusive_group()
        keep.add_argument("--state", metavar="PATH",
                          help="file that keeps the stream position across restarts (default: one per NAME, "
                               "ENDPOINT and segment, under $VELMORA_BRIDGE_STATE, $XDG_RUNTIME_DIR or the "
                               "temporary directory)")
        keep.add_argument("--no-state", action="store_true", help="keep no state file")
        r.add_argument("--wait", action=argparse.BooleanOptionalAction, default=True,
                       help="wait for the segment NAME to appear (default: on); --no-wait fails at once")
        r.add_argument("--curve-secret", metavar="FILE",
                       help="this side's secret key file (bridge.key_secret from `velmora bridge keygen`)")
        r.add_argument("--curve-server", metavar="FILE",
                       help="connecting side: the binding side's public key file (its bridge.key)")
        r.add_argument("--curve-allow", metavar="DIR",
                       help="binding side: folder of the public key files (*.key) of the peers let in; "
                            "others are refused and logged")
        if role == "receive":
            r.add_argument("--allow-objects", action="store_true",
                           help="deliver object messages (pickles, which run code where they are loaded) from "
                                "peers that are neither authenticated by CURVE keys nor on this machine")
        r.add_argument("-v", "--verbose", action="count", default=0,
                       help="log peers connecting and disconnecting, streams joined and ended (-vv: more)")
        r.add_argument("--hwm", type=int, default=16, metavar="N", help="ZeroMQ high-water mark in batches (16)")
        r.add_argument("--spin", type=float, default=0.0002, metavar="SECONDS",
                       help="after a message, keep looking for the next one this long without sleeping "
                            "(0.0002); about 0.002 cuts the latency at a few hundred messages a second, "
                            "at the cost of a busy processor while they flow")
        r.set_defaults(run=cmd_bridge)
    k = roles.add_parser("keygen", parents=[common], help="write a CURVE key pair for authenticated, encrypted bridges",
                         description="Writes DIR/NAME.key (the public key: give it to the peers, as --curve-server "
                                     "or into their --curve-allow folder) and DIR/NAME.key_secret (readable by its "
                                     "owner only: this side's --curve-secret).")
    k.add_argument("directory", metavar="DIR")
    k.add_argument("--name", dest="key_name", default="bridge", help="file name of the pair (bridge)")
    k.set_defaults(run=cmd_bridge)
    return parser


def main(argv=None) -> int:
    # Names are escaped already; this covers any other text in an output
    # encoding that cannot show it.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = build_parser().parse_args(argv)
    args.json = getattr(args, "json", False)
    try:
        return args.run(args, sys.stdout)
    except SegmentError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # e.g. `velmora list | head`
        sys.stderr.close()
        return 1


if __name__ == "__main__":
    sys.exit(main())
