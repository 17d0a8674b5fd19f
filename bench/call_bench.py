"""Cost of calling through an AssetWrapper, next to a direct call and functools.partial.

Each case is timed in the same process, interleaved, best of several repeats; the
ratios are against the direct call. Target: the wrapper no slower than partial.
"""

import functools
import timeit

from _tolva import asset


def g(x, y=0):
    return x


wrapped = asset()(g)
partial = functools.partial(g)

CASES = {
    "positional g(1)": "{}(1)",
    "keyword g(1, y=2)": "{}(1, y=2)",
}
CALLERS = {"direct": "g", "partial": "partial", "AssetWrapper": "wrapped"}


def best(stmt, number=2_000_000, repeat=7):
    timer = timeit.Timer(stmt, globals=globals())
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main():
    print(f"{'case':<20} {'caller':<13} {'ns/call':>8} {'vs direct':>10} {'vs partial':>11}")
    for case, template in CASES.items():
        times = {name: best(template.format(expr)) for name, expr in CALLERS.items()}
        for name, t in times.items():
            print(
                f"{case:<20} {name:<13} {t * 1e9:8.1f} {t / times['direct']:9.2f}x {t / times['partial']:10.2f}x"
            )


if __name__ == "__main__":
    main()
