#!/usr/bin/env python3
"""Whole-command timings and the closing report of scripts/bench.sh.

Reads the primitive benchmark results (Google Benchmark JSON with median aggregates), times
keymend and OpenSSL as whole processes on the PKCS#12 files in --work, measures the peak RSS of
every keymend command, and prints a summary followed by the machine-readable lines
`ratio <measure> <value>` and `rss_kib <command> <value>`.

Times are the CPU time (user + system) of the child process: on a shared machine wall time also
counts the other processes. keymend and OpenSSL alternate run by run so that both see the same load.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

PASS_P12 = "secret"
PASS_KV = "12345678"


def run(argv, scratch):
    """Runs argv; returns (exit code, CPU seconds, peak RSS in KiB).

    The command runs under /usr/bin/time, which reports its peak RSS: a process forked from this
    interpreter would inherit the interpreter's high-water mark. The CPU time is that of the time
    process and its child together (its own share is about a millisecond, alike for both tools).
    """
    report = os.path.join(scratch, "rss")
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%x %M", "-o", report] + argv,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    with open(report) as f:
        fields = f.read().split()
    code, peak = int(fields[-2]), int(fields[-1])
    if os.waitstatus_to_exitcode(status) != 0 and code == 0:
        code = -1
    return code, usage.ru_utime + usage.ru_stime, peak


def keymend_import(keymend, pfx, rdr):
    return [keymend, "-p12tokv", "-rdrfolder", rdr, "-contname", "bench", "-sg", "-infile", pfx,
            "-passp12", PASS_P12, "-passkv", PASS_KV]


def openssl_read(pfx):
    return ["openssl", "pkcs12", "-engine", "gost", "-nodes", "-in", pfx, "-passin",
            "pass:" + PASS_P12, "-out", os.devnull]


def keymend_export(keymend, cont, outdir):
    return [keymend, "-kvtop12", "-contfolder", cont, "-passkv", PASS_KV, "-passp12", PASS_P12,
            "-outdir", outdir]


def openssl_export(work, out):
    """The same key and certificate written with the algorithms and iterations -kvtop12 uses."""
    return ["openssl", "pkcs12", "-engine", "gost", "-export", "-inkey",
            os.path.join(work, "k.pem"), "-in", os.path.join(work, "k.crt"), "-keypbe", "gost89",
            "-certpbe", "gost89", "-macalg", "md_gost12_512", "-iter", "2048", "-passout",
            "pass:" + PASS_P12, "-out", out]


def primitive_ratios(path):
    """Median ratio of every benchmark, and the benchmark's context (which variants ran)."""
    with open(path) as f:
        data = json.load(f)
    med = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].replace("/manual_time", "")
        for key in ("ratio", "vs_openssl"):
            if key in b:
                med[name] = b[key]
    return med, data.get("context", {})


def cpu_description(path):
    """The processor model (from /proc/cpuinfo) and the feature names the benchmarks ran with."""
    with open(path) as f:
        features = json.load(f).get("context", {}).get("cpu_features", "")
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return model, features


def slope(points):
    """Least-squares slope of (x, y) points."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in points) / sum((x - mx) ** 2 for x in xs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--keymend", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--primitives", required=True)
    ap.add_argument("--quick", type=int, default=0)
    args = ap.parse_args()

    results = []   # (measure, value, target text, met)
    rss = {}

    def add(measure, value, at_least=None, at_most=None):
        if value is None:
            print(f"missing measure {measure}", file=sys.stderr)
            return
        if at_least is not None:
            results.append((measure, value, f">= {at_least}", value >= at_least))
        elif at_most is not None:
            results.append((measure, value, f"<= {at_most}", value <= at_most))
        else:
            results.append((measure, value, "-", None))  # reported, no target

    # Primitives. Hash and cipher ratios are OpenSSL time / keymend time; the public-key
    # benchmark reports keymend / OpenSSL, inverted here to read the same way.
    med, context = primitive_ratios(args.primitives)
    # GOST R 34.11-2012 targets: higher where the vector compression ran (GFNI, AVX-512 VBMI).
    streebog = context.get("streebog", "unknown")
    vector = streebog not in ("portable", "unknown")

    def get(name):
        if name not in med:
            print(f"benchmark {name} missing", file=sys.stderr)
        return med.get(name)

    def lowest(names, invert=False):
        vals = [get(n) for n in names]
        if any(v is None for v in vals):
            return None
        vals = [1 / v for v in vals] if invert else vals
        return min(vals)

    add("streebog512_16k", get("BM_HashById/Streebog512/16384"), at_least=2.5 if vector else 1.25)
    short = [f"BM_HashById/Streebog{bits}/{n}" for bits in (256, 512) for n in (64, 128, 192)]
    for n in short:
        if n in med:
            print(f"  {n}: {med[n]:.3f}", file=sys.stderr)
    add("streebog_64_to_192_bytes", lowest(short), at_least=2.5 if vector else 1.5)
    add("gostr341194", get("BM_HashById/GostR341194/16384"), at_least=1.5)
    add("gost28147_cfb_meshed_decrypt", get("BM_Gost28147CfbMeshedDecrypt"), at_least=1.5)
    add("gost28147_cfb_meshed_encrypt", get("BM_Gost28147CfbMeshedEncrypt"), at_least=1.5)
    add("gost28147_ecb", lowest(["BM_Gost28147EcbEncrypt", "BM_Gost28147EcbDecrypt"]),
        at_least=1.5)
    pk256 = [n for n in med if n.startswith("PublicKeyVersusOpenSsl/256")]
    pk512 = [n for n in med if n.startswith("PublicKeyVersusOpenSsl/512")]
    add("public_key_256", lowest(pk256, invert=True) if pk256 else None, at_least=1.0)
    add("public_key_512", lowest(pk512, invert=True) if pk512 else None, at_least=1.0)

    # The standard algorithms against OpenSSL's default provider. The SHA-256 target holds where
    # the processor has the SHA extensions; the portable figures are reported without a target.
    cpu_model, cpu_features = cpu_description(args.primitives)
    has_sha = "sha" in cpu_features.split()
    add("sha256_16k", get("BM_Sha/Sha256/16384"), at_least=0.8 if has_sha else None)
    add("sha256_16k_portable", get("BM_Sha/Sha256Portable/16384"))
    add("sha1_16k", get("BM_Sha/Sha1/16384"))
    add("sha1_16k_portable", get("BM_Sha/Sha1Portable/16384"))
    add("aes256_cbc_decrypt_16k", get("BM_AesCbcDecrypt/Aes256/16384"))
    add("aes256_cbc_decrypt_16k_portable", get("BM_AesCbcDecrypt/Aes256Portable/16384"))
    add("pbkdf2_sha256_2048", get("BM_Pbkdf2Sha256/Iter2048"))
    add("pbkdf2_sha256_2048_portable", get("BM_Pbkdf2Sha256/Iter2048Portable"))
    add("pkcs12_mac_key_sha256_2048", get("BM_Pkcs12MacKeySha256/Iter2048"))

    # Whole commands.
    sizes = [2048, 20000] + ([] if args.quick else [200000])
    runs = {2048: 5 if args.quick else 15, 20000: 3 if args.quick else 7, 200000: 3}
    ours, theirs = {}, {}
    failed = False
    with tempfile.TemporaryDirectory(dir=args.work) as tmp:
        def alternate(count, commands, ours_rss, theirs_rss=None):
            """Median CPU times of keymend's and OpenSSL's command, alternating which goes first;
            commands(r) gives the two argument vectors of run r."""
            nonlocal failed
            times = ([], [])
            for r in range(count):
                pair = list(zip((0, 1), commands(r), (ours_rss, theirs_rss)))
                if r % 2:
                    pair.reverse()
                for who, argv, name in pair:
                    code, cpu, peak = run(argv, tmp)
                    if code != 0:
                        print(f"command failed ({code}): {' '.join(argv)}", file=sys.stderr)
                        failed = True
                    times[who].append(cpu)
                    if name:
                        rss[name] = max(rss.get(name, 0), peak)
            return statistics.median(times[0]), statistics.median(times[1])

        def compare(pfx, count, label):
            """Median CPU times of keymend and OpenSSL on one file, alternating."""
            def commands(r):
                rdr = os.path.join(tmp, f"rdr-{label}-{r}")
                os.mkdir(rdr)
                return keymend_import(args.keymend, pfx, rdr), openssl_read(pfx)
            return alternate(count, commands, "p12tokv", "openssl_pkcs12")

        for n in sizes:
            ours[n], theirs[n] = compare(os.path.join(args.work, f"iter{n}.pfx"), runs[n], n)
            print(f"  {n:>6} iterations: keymend {ours[n] * 1e3:8.1f} ms CPU, "
                  f"openssl {theirs[n] * 1e3:8.1f} ms CPU (medians of {runs[n]})",
                  file=sys.stderr)
        # OpenSSL's default protection of the same key: PBES2 with HMAC-SHA-256 and AES-256-CBC,
        # a SHA-256 MAC, 2,048 iterations each.
        std_ours, std_theirs = compare(os.path.join(args.work, "std.pfx"), runs[2048], "std")
        print(f"  OpenSSL default file: keymend {std_ours * 1e3:8.1f} ms CPU, "
              f"openssl {std_theirs * 1e3:8.1f} ms CPU (medians of {runs[2048]})", file=sys.stderr)

        # The other commands, on a container made from the 2,048-iteration file.
        rdr = os.path.join(tmp, "rdr-commands")
        os.mkdir(rdr)
        pfx = os.path.join(args.work, "iter2048.pfx")
        second = os.path.join(args.work, "second.pfx")
        cont = os.path.join(rdr, "bench.000")
        cer = os.path.join(args.work, "k.cer")
        others = [
            ("help", [args.keymend, "-help"]),
            ("p12tokv_single", keymend_import(args.keymend, pfx, rdr)),
            ("kvpublic", [args.keymend, "-kvpublic", "-contfolder", cont, "-passkv", PASS_KV]),
            ("kvrepair", [args.keymend, "-kvrepair", "-contfolder", cont, "-certsg", cer,
                          "-passkv", PASS_KV]),
            ("p12addtokv", [args.keymend, "-p12addtokv", "-contfolder", cont, "-ex", "-infile",
                            second, "-passp12", PASS_P12, "-passkv", PASS_KV]),
        ]
        for name, argv in others:
            code, _, peak = run(argv, tmp)
            if code != 0:
                # Reported, not fatal: the peak of a failed run is not the command's.
                print(f"command failed ({code}), no RSS figure: {' '.join(argv)}",
                      file=sys.stderr)
                continue
            rss[name] = peak

        # -kvtop12 of a one-key container against OpenSSL writing the same key the same way.
        rdr = os.path.join(tmp, "rdr-export")
        os.mkdir(rdr)
        code, _, _ = run(keymend_import(args.keymend, pfx, rdr), tmp)
        cont = os.path.join(rdr, "bench.000")
        def export_commands(r):
            outdir = os.path.join(tmp, f"export-{r}")
            os.mkdir(outdir)
            return (keymend_export(args.keymend, cont, outdir),
                    openssl_export(args.work, os.path.join(outdir, "openssl.pfx")))
        export_ours, export_theirs = alternate(runs[2048], export_commands, "kvtop12")
        print(f"  -kvtop12: keymend {export_ours * 1e3:8.1f} ms CPU, openssl -export "
              f"{export_theirs * 1e3:8.1f} ms CPU (medians of {runs[2048]})", file=sys.stderr)

    add("kvtop12_whole_process", export_theirs / export_ours, at_least=1.0)
    add("p12tokv_2048_whole_process", theirs[2048] / ours[2048], at_least=1.5 if vector else 1.0)
    add("p12tokv_aes_whole_process", std_theirs / std_ours, at_least=1.0)
    k_slope, o_slope = slope(list(ours.items())), slope(list(theirs.items()))
    print(f"  per extra iteration: keymend {k_slope * 1e6:.2f} us, openssl {o_slope * 1e6:.2f} us",
          file=sys.stderr)
    add("pbkdf2_slope", k_slope / o_slope, at_most=0.4 if vector else 0.8)

    print(f"== cpu: {cpu_model}; processor features: {cpu_features or 'none'}")
    print("== summary (measure, value, target, met)")
    print(f"  GOST R 34.11-2012 compression: {streebog}; CPU features: "
          f"{context.get('cpu_features') or 'none'}")
    for measure, value, target, met in results:
        verdict = "-" if met is None else "yes" if met else "NO"
        print(f"  {measure:32} {value:7.3f}  {target:8}  {verdict}")
    for name, peak in rss.items():
        if name.startswith("openssl"):
            print(f"  rss {name:28} {peak:7d} KiB (reference)")
        else:
            print(f"  rss {name:28} {peak:7d} KiB  <= 4096  {'yes' if peak <= 4096 else 'NO'}")
    print(f"cpu_features {cpu_features or 'none'}")
    for measure, value, _, _ in results:
        print(f"ratio {measure} {value:.3f}")
    for name, peak in rss.items():
        if not name.startswith("openssl"):
            print(f"rss_kib {name} {peak}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
