# make          build livedelay (build/release/livedelay)
# make test     install what is missing, build with sanitizers, run every test
# make demo     install what is missing, build, delay a generated click train on a virtual device
# make bench    install what is missing, build in Release (build/bench), print the benchmark table
# make install  install livedelay and its manual page under PREFIX (default /usr/local)
# make deb      build a Debian package in build/release

BUILD := build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps test-deps release test demo install deb bench clean

all: release

deps:
	@scripts/install-deps.sh

test-deps:
	@scripts/install-deps.sh --test

release: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/release -j $(JOBS)

test: test-deps
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DLIVEDELAY_SANITIZE=ON \
		-DLIVEDELAY_TESTS=ON >/dev/null
	cmake --build $(BUILD)/test -j $(JOBS)
	@# Two sets at once (tests/CMakeLists.txt): the tests that need no clock, at the lowest
	@# priority, as many at a time as there are cores; beside them the real-time trials (on
	@# private sound servers and on the card's clock), one more at a time, since they mostly
	@# wait. On a shared machine a real-time trial now and then misses its millisecond for
	@# want of the CPU: each gets a second run, and the first one's failure stays in the output
	@# for all to see. The first set's output follows the second's.
	cd $(BUILD)/test && { status=0; \
		nice -n 19 ctest --output-on-failure -j $(JOBS) -LE realtime > unclocked-tests.log 2>&1 & \
		ctest --output-on-failure -j $$(($(JOBS) + 1)) -L realtime --repeat until-pass:2 || status=1; \
		wait $$! || status=1; \
		echo "== the tests that need no clock"; cat unclocked-tests.log; \
		exit $$status; }

demo: release
	@scripts/install-deps.sh --demo
	scripts/demo.sh $(BUILD)/release/livedelay

install: release
	cmake --install $(BUILD)/release --prefix $(PREFIX)

deb: release
	@scripts/install-deps.sh --deb
	cd $(BUILD)/release && cpack -G DEB

bench:
	@scripts/install-deps.sh --bench
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DLIVEDELAY_SANITIZE=OFF \
		-DLIVEDELAY_TESTS=OFF -DLIVEDELAY_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j $(JOBS)
	bench/run.sh $(BUILD)/bench

clean:
	rm -rf $(BUILD)
