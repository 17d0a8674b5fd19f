# Each target does its own set-up on a fresh clone (Python 3.14, .venv, build, install).
.PHONY: setup test test-asan demo bench clean

setup:
	tools/setup

test:
	tools/run-tests

test-asan:
	tools/setup --tests
	tools/test-asan

demo:
	tools/demo

bench:
	tools/bench

clean:
	rm -rf build .venv
