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
	@# The tests that need no clock first, one more at a time than there are cores (a few of
	@# them run the program in real time, and wait more than they work), then three sets of
	@# real-time trials, each alone (tests/CMakeLists.txt says why): on private sound servers
	@# and on the card's clock, as many at a time as there are cores; the shortest delays, one
	@# at a time.
	@# On a shared machine a real-time trial now and then misses its millisecond for want of the
	@# CPU: each gets a second run, and the first one's failure stays in the output for all to
	@# see.
	cd $(BUILD)/test && { status=0; \
		ctest --output-on-failure -j $$(($(JOBS) + 1)) -LE realtime || status=1; \
		ctest --output-on-failure -j $(JOBS) -L '^realtime$$' --repeat until-pass:2 || status=1; \
		ctest --output-on-failure -j $(JOBS) -L '^realtime_card$$' --repeat until-pass:2 || status=1; \
		ctest --output-on-failure -L '^realtime_short$$' --repeat until-pass:2 || status=1; \
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
