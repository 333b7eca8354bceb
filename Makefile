.PHONY: test test-x64 demo bench deps clean

test: deps
	tools/run-tests.sh

test-x64: deps
	tools/run-tests.sh x64

demo: deps
	python3 tools/demo.py

bench: deps
	python3 tools/bench.py

deps:
	tools/install-deps.sh

clean:
	rm -rf build build-x64 build-demo build-bench
