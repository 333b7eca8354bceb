.PHONY: test test-x64 demo bench fuzz deps clean

test: deps
	tools/run-tests.sh

test-x64: deps
	tools/run-tests.sh x64

demo: deps
	python3 tools/demo.py

bench: deps
	python3 tools/bench.py

# The patch reader under libFuzzer, natively, for a bounded time; not part of test.
fuzz: deps
	tools/fuzz.sh 60

deps:
	tools/install-deps.sh

clean:
	rm -rf build build-x64 build-demo build-bench build-fuzz
