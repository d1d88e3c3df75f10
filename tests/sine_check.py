#!/usr/bin/env python3
"""Checks ostrel's own sine (src/trails/sine*.cpp) against mpmath.

Usage:
  sine_check.py PROGRAM [EMULATOR...]   run the checks; PROGRAM is the sine-check
                                        executable, EMULATOR an optional command
                                        that runs it (wine for the Windows build)
  sine_check.py --print-tables          print src/trails/sine_tables.h

Checked: the program's constant tables against mpmath; on the first 10^5 ticks'
angles, random tick angles up to tick 2^32, random doubles of every magnitude
and edge cases, the result is sin correctly rounded wherever a path says it is
certain (always for tick angles), the quick path stays within its error bound,
and NaN, range, sign and repeatability hold for every input.
"""
import concurrent.futures
import math
import os
import random
import struct
import subprocess
import sys
from fractions import Fraction

import mpmath
from mpmath import libmp

# The bounds the program's rounding tests rely on (see docs/sine.md).
QUICK_RELATIVE = 2.0**-65
QUICK_ABSOLUTE = 2.0**-130
NAN_BITS = 0x7FF8000000000000
TICK_PHASES = [(1.5, 2.5, 1.5), (4.5, 3.5, 2.5), (5.5, 6.5, 5.5), (3.5, 7.5, 2.5)]  # y, x, radius


# ---------------------------------------------------------------- mpmath values


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double_of(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def exact(value):
    """An mpf (or float) as an exact Fraction."""
    sign, man, exp, _ = mpmath.mpf(value)._mpf_
    magnitude = Fraction(int(man) << exp) if exp >= 0 else Fraction(int(man), 1 << -exp)
    return -magnitude if sign else magnitude


def round_mpf(value, slack_bits):
    """The nearest double to every number within a relative 2^-slack_bits of the
    raw mpf value (sign, man, exp, bc), or None when they do not all round alike."""
    sign, man, exp, bc = value
    if not man:
        return None
    shift = bc - 53
    if shift <= 2 or exp + bc < -1021 or exp + bc > 1024:  # short, subnormal or huge: go exact
        centre = exact(mpmath.mpf(value))
        low = float(centre * (1 - Fraction(1, 2**slack_bits)))
        high = float(centre * (1 + Fraction(1, 2**slack_bits)))
        return low if low == high else None
    slack = 1 << max(0, bc - slack_bits)  # in units of man's last bit
    rest = man & ((1 << shift) - 1)
    half = 1 << (shift - 1)
    if abs(rest - half) <= slack:
        return None  # too near a midpoint
    mantissa = (man >> shift) + (1 if rest > half else 0)
    result = math.ldexp(mantissa, exp + shift)
    return -result if sign else result


def true_sin(x):
    """(sin x correctly rounded, sin x as a raw mpf). mpmath's result at p bits
    is within a few units of its last place; the precision doubles until the
    whole interval that may hold the true value rounds to one double."""
    if x == 0.0:
        return x, libmp.fzero
    prec = 120 + max(0, math.frexp(x)[1])
    while True:
        value = libmp.mpf_sin(libmp.from_float(x), prec, libmp.round_nearest)
        rounded = round_mpf(value, prec - 8)
        if rounded is not None:
            return rounded, value
        prec *= 2


def quick_error_ratio(hi, lo, value):
    """|hi + lo - sin x| as a share of the bound the quick path's rounding test
    assumes, for the raw mpf value of sin x."""
    sign, man, exp, _ = value
    parts = [(int(m * 2**53), e - 53) for m, e in map(math.frexp, (hi, lo))]
    parts.append((man if sign else -man, exp))  # hi + lo - sin x
    base = min(e for _, e in parts)
    error = abs(sum(m << (e - base) for m, e in parts))
    excess = max(0, error.bit_length() - 60)  # keep it within a float's range
    error, base = error >> excess, base + excess
    magnitude = abs(libmp.to_float(value))
    return math.ldexp(error, base) / (magnitude * QUICK_RELATIVE + QUICK_ABSOLUTE)


def check_chunk(rows):
    """Compares the program's rows with mpmath; returns (failures, the largest
    quick-path error as a share of its bound)."""
    failures = []
    worst_ratio = 0.0
    for row in rows:
        x = double_of(row["x"])
        if not math.isfinite(x):
            continue
        want, value = true_sin(x)
        want_bits = bits_of(want)
        if row["claimed"] and row["result"] != want_bits:
            failures.append(f"sin({x!r}) = {double_of(row['result'])!r}, want {want!r}")
        if row["quick_certain"] and row["quick_value"] != want_bits:
            failures.append(f"quick path of sin({x!r}) certain of {double_of(row['quick_value'])!r}, "
                            f"want {want!r}")
        if row["slow_value"] is not None and row["slow_certain"] and row["slow_value"] != want_bits:
            failures.append(f"slow path of sin({x!r}) certain of {double_of(row['slow_value'])!r}, "
                            f"want {want!r}")
        if row["quick_hi"] is not None:
            ratio = quick_error_ratio(double_of(row["quick_hi"]), double_of(row["quick_lo"]), value)
            if ratio > 1:
                failures.append(f"quick path of sin({x!r}) off by {ratio:.3g} times its bound")
            worst_ratio = max(worst_ratio, ratio)
    return failures, worst_ratio


# ---------------------------------------------------------------- tables


def at_two_precisions(compute, prec):
    """compute() at prec and at twice prec bits; the two must agree, which they
    do unless a value lies within mpmath's error of a rounding boundary."""
    results = []
    for p in (prec, 2 * prec):
        with mpmath.workprec(p):
            results.append(compute())
    if results[0] != results[1]:
        raise ArithmeticError(f"{compute.__name__} depends on the working precision")
    return results[0]


def two_over_pi_words(count):
    """The first 32 * count bits after the binary point of 2/pi, in 32-bit words."""
    def words():
        scaled = int(mpmath.floor(2 / mpmath.pi * mpmath.mpf(2) ** (32 * count)))
        return [(scaled >> (32 * (count - 1 - i))) & 0xFFFFFFFF for i in range(count)]
    return at_two_precisions(words, 32 * count + 64)


def double_double(value):
    """hi + lo: hi the nearest double to value, lo the nearest double to the rest
    (float() of a Fraction rounds correctly, half to even)."""
    hi = float(value)
    return hi, float(value - Fraction(hi))


def step_table():
    """For i = 0..128, a = i pi/256 and c = pi/256: sin a, c sin a and
    c^2/2 sin a, each as a double-double."""
    def rows():
        c = mpmath.pi / 256
        result = []
        for i in range(129):
            s = mpmath.sin(i * c)
            result.append([double_double(exact(v)) for v in (s, s * c, s * c**2 / 2)])
        return result
    return at_two_precisions(rows, 300)


def pi_over_2_fixed():
    """pi/2 * 2^256 rounded to the nearest integer, as nine 32-bit limbs, least
    significant first."""
    def limbs():
        scaled = int(mpmath.nint(mpmath.pi / 2 * mpmath.mpf(2) ** 256))
        return [(scaled >> (32 * i)) & 0xFFFFFFFF for i in range(9)]
    return at_two_precisions(limbs, 400)


def coefficients():
    """The quick path's series in g, where h = c g and c = pi/256:
    sin h - c g = g^3 (kSin3 + g^2 (kSin5 + g^2 kSin7)) + ...
    cos h - 1 + (c g)^2 / 2 = g^4 (kCos4 + g^2 (kCos6 + g^2 kCos8)) + ...
    Each coefficient the nearest double to its exact value."""
    def values():
        c = mpmath.pi / 256
        exact_values = [("kSin3", -c**3 / 6), ("kSin5", c**5 / 120), ("kSin7", -c**7 / 5040),
                        ("kCos4", c**4 / 24), ("kCos6", -c**6 / 720), ("kCos8", c**8 / 40320)]
        return [(name, float(exact(v))) for name, v in exact_values]
    return at_two_precisions(values, 300)


TWO_OVER_PI_WORDS = 48


def expected_tables():
    """The lines `sine-check --tables` must print."""
    lines = [f"two_over_pi {i} {w:08x}" for i, w in enumerate(two_over_pi_words(TWO_OVER_PI_WORDS))]
    for i, row in enumerate(step_table()):
        lines.append(f"step {i} " + " ".join(f"{bits_of(hi):016x} {bits_of(lo):016x}" for hi, lo in row))
    lines += [f"pi_over_2_fixed {i} {w:08x}" for i, w in enumerate(pi_over_2_fixed())]
    lines += [f"coefficient {name} {bits_of(value):016x}" for name, value in coefficients()]
    return lines


def print_tables():
    words = two_over_pi_words(TWO_OVER_PI_WORDS)
    print("#pragma once\n")
    print("// Constants of ostrel's sine, generated by tests/sine_check.py --print-tables")
    print("// from mpmath; the same script checks the built program's copy of them.\n")
    print("#include <array>\n#include <cstdint>\n")
    print("namespace ostrel::sine_tables {\n")
    print("// clang-format off")
    print(f"// The first {32 * TWO_OVER_PI_WORDS} bits of 2/pi after the binary point, most "
          "significant first.")
    print(f"inline constexpr std::array<std::uint32_t, {TWO_OVER_PI_WORDS}> kTwoOverPi{{")
    for i in range(0, len(words), 6):
        print("    " + ", ".join(f"0x{w:08X}" for w in words[i:i + 6]) + ",")
    print("};\n")
    print("// For a = i pi/256 and c = pi/256, i = 0..128: sin a, c sin a and c^2/2 sin a,")
    print("// each as hi + lo, hi the nearest double, lo the nearest double to the rest.")
    print("struct Step {\n  double sin_hi, sin_lo;\n  double sin_c_hi, sin_c_lo;\n"
          "  double sin_c2_hi, sin_c2_lo;\n};")
    print("inline constexpr std::array<Step, 129> kSteps{{")
    for row in step_table():
        values = [v.hex() for pair in row for v in pair]
        print(f"    {{{values[0]}, {values[1]},\n     {values[2]}, {values[3]},\n"
              f"     {values[4]}, {values[5]}}},")
    print("}};\n")
    print("// pi/2 * 2^256 rounded to the nearest integer, least significant limb first.")
    limbs = pi_over_2_fixed()
    print("inline constexpr std::array<std::uint32_t, 9> kPiOver2Fixed{")
    print("    " + ", ".join(f"0x{w:08X}" for w in limbs[:5]) + ",")
    print("    " + ", ".join(f"0x{w:08X}" for w in limbs[5:]) + ",")
    print("};\n")
    print("// With c = pi/256, the nearest doubles to -c^3/6, c^5/120, -c^7/5040, c^4/24,")
    print("// -c^6/720 and c^8/40320.")
    for name, value in coefficients():
        print(f"inline constexpr double {name} = {value.hex()};")
    print("// clang-format on")
    print("\n}  // namespace ostrel::sine_tables")


# ---------------------------------------------------------------- inputs


def tick_angles(k):
    """The twelve angles tick k computes, evaluated as the tick writes them."""
    angles = []
    for py, px, pr in TICK_PHASES:
        angles += [k / 900 * 7 + py, k / 900 * 5 + px, k / 50 * 7 + pr]
    return angles


def edge_inputs():
    tiny = [5e-324, 1e-320, 2.0**-1022, 1e-300, 2.0**-30, 2.0**-26 * (1 - 2.0**-53), 2.0**-26,
            2.0**-26 * (1 + 2.0**-52), 1e-5, 0.1]
    moderate = [0.5, 0.7853981633974483, 1.0, 1.5, 1.5707963267948966, 2.0, 3.141592653589793,
                4.71238898038469, 6.283185307179586, 10.0, 100.0, 355.0, 1e6, 2.0**30, 2.0**31,
                2.0**52, 2.0**53 + 2, 1e22, 2.0**100, 1e200, 2.0**1023, 1.7976931348623157e308,
                # the double nearest to a multiple of pi/2 (4.7e-19 away)
                6381956970095103 * 2.0**797]
    # Doubles within 2^-60.5 and 2^-59 of multiples of pi/2 (found with continued
    # fractions), and the nearest doubles to pi/2, pi and 2 pi: the reduction
    # cancels most bits, and g is too small for the quick path.
    moderate += [float.fromhex(h) for h in ("0x1.6c6cbc45dc8dep+5", "0x1.b951f1572eba5p+23",
                                            "0x1.921fb54442d18p0", "0x1.921fb54442d19p0",
                                            "0x1.921fb54442d18p1", "0x1.921fb54442d18p2")]
    # Angles where the quick path's double-double lies within its error bound of
    # a rounding midpoint and on the wrong side of it: only the bound in its
    # rounding test sends them to the slow path. The first is the radius angle
    # of trail 1 at tick 139788 (found by search over every tick's angles).
    moderate += [float.fromhex(h) for h in ("0x1.31cf47ae147aep+14", "0x1.b182666666667p+14",
                                            "0x1.6a94444444444p+10")]
    values = [0.0, -0.0] + tiny + moderate
    values += [-v for v in tiny + moderate]
    specials = [math.inf, -math.inf, math.nan]
    bits = [bits_of(v) for v in values + specials]
    bits += [0x7FF0000000000001, 0xFFF8000000000123, 0x7FFFFFFFFFFFFFFF]  # NaNs with payloads
    return bits


def random_inputs(rng, count_ticks, count_any):
    """The angles of count_ticks random ticks up to 2^32, and count_any random
    finite doubles of every magnitude, subnormals included."""
    ticks = []
    for _ in range(count_ticks):
        ticks += [bits_of(a) for a in tick_angles(float(rng.randrange(100000, 2**32)))]
    others = []
    for _ in range(count_any):
        sign = rng.getrandbits(1) << 63
        exponent = rng.randrange(0, 2047)
        others.append(sign | exponent << 52 | rng.getrandbits(52))
    return ticks, others


# ---------------------------------------------------------------- running


def run_program(command, bits, slow=()):
    """Runs the program on the inputs, asking for the slow path on those in
    `slow` (it runs anyway where the quick path is unsure)."""
    text = "".join(f"{b:016x}{' s' if b in slow else ''}\n" for b in bits)
    result = subprocess.run(command, input=text, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"{command} exited with {result.returncode}: {result.stderr.strip()}")
    lines = [line.strip() for line in result.stdout.replace("\r", "").split("\n")]
    return [line for line in lines if line]


def parse_rows(lines, claimed_bits):
    """Each line: x result quick_certain quick_value quick_hi quick_lo slow_certain slow_value."""
    rows = []
    for line in lines:
        fields = line.split()
        x = int(fields[0], 16)
        rows.append({
            "x": x,
            "result": int(fields[1], 16),
            "quick_certain": fields[2] == "1",
            "quick_value": int(fields[3], 16),
            "quick_hi": int(fields[4], 16) if fields[4] != "-" else None,
            "quick_lo": int(fields[5], 16) if fields[5] != "-" else None,
            "slow_certain": fields[6] == "1",
            "slow_value": int(fields[7], 16) if fields[7] != "-" else None,
            "claimed": x in claimed_bits,
        })
    return rows


def sanity(rows):
    """Checks that hold for every input, claimed or not."""
    failures = []
    for row in rows:
        x = double_of(row["x"])
        y = double_of(row["result"])
        if not math.isfinite(x):
            if row["result"] != NAN_BITS:
                failures.append(f"sin({x!r}) has bits {row['result']:016x}, want {NAN_BITS:016x}")
        elif math.isnan(y) or abs(y) > 1:
            failures.append(f"sin({x!r}) = {y!r}")
        elif 0 < abs(x) < 3 and (y > 0) != (x > 0):
            failures.append(f"sin({x!r}) = {y!r} has the wrong sign")
        if not (row["quick_certain"] or row["slow_certain"]) and row["claimed"]:
            failures.append(f"sin({x!r}): neither path is certain of a tick angle")
        if row["quick_certain"] and row["result"] != row["quick_value"]:
            failures.append(f"sin({x!r}) is not the quick path's certain value")
        if not row["quick_certain"] and row["result"] != row["slow_value"]:
            failures.append(f"sin({x!r}) is not the slow path's value")
    return failures


def main(argv):
    if argv[1:] == ["--print-tables"]:
        print_tables()
        return 0
    if len(argv) < 2 or argv[1].startswith("-"):
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[2:] + [argv[1]]
    failures = []

    tables = run_program(command + ["--tables"], [])
    if tables != expected_tables():
        wrong = [a for a, b in zip(tables, expected_tables()) if a != b]
        failures.append(f"tables differ from mpmath's: {wrong[:3] or len(tables)}")

    first_ticks = [bits_of(a) for k in range(1, 100001) for a in tick_angles(float(k))]
    rng = random.Random(20240611)
    random_ticks, random_any = random_inputs(rng, 4000, 6000)
    edges = edge_inputs()
    inputs = first_ticks + random_ticks + random_any + edges
    # The slow path runs on one in 16 of the first ticks' angles and on all others.
    slow = set(first_ticks[::16] + random_ticks + random_any + edges)
    lines = run_program(command, inputs, slow)
    if len(lines) != len(inputs):
        failures.append(f"{len(lines)} lines for {len(inputs)} inputs")
        lines = lines[:len(inputs)]
    rows = parse_rows(lines, set(first_ticks + random_ticks))
    if [row["x"] for row in rows] != inputs[:len(rows)]:
        failures.append("the program echoed other inputs than it was given")
    failures += sanity(rows)

    # The same inputs again give the same bits.
    again_inputs = random_any[-3000:] + edges
    if run_program(command, again_inputs, slow) != lines[-len(again_inputs):]:
        failures.append("a second run gave other bits")

    # Compare with mpmath on all cores; tick angles near the start are cheap.
    unique = list({row["x"]: row for row in rows}.values())
    chunks = [unique[i::8] for i in range(8)]
    worst = 0.0
    with concurrent.futures.ProcessPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for chunk_failures, chunk_worst in pool.map(check_chunk, chunks):
            failures += chunk_failures
            worst = max(worst, chunk_worst)

    quick_misses = sum(1 for row in rows if not row["quick_certain"])
    slow_misses = sum(1 for row in rows if row["slow_value"] is not None and not row["slow_certain"])
    for failure in failures[:40]:
        print("FAIL", failure)
    print(f"{len(rows)} inputs ({len(unique)} distinct), {len(failures)} failures; the quick "
          f"path left {quick_misses} to the slow path, the slow path was uncertain of "
          f"{slow_misses}; largest quick-path error {float(worst):.3f} of its bound")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
