.PHONY: test demo bench deps clean

test: deps
	tools/run-tests.sh

demo: deps
	python3 tools/demo.py

bench: deps
	python3 tools/bench.py

deps:
	tools/install-deps.sh

clean:
	rm -rf build build-x64 build-demo build-bench
