# make test: install what is missing, configure, build, run every test.
# make run:  the same build, then qx2sim and brennock bound to it.
# make run-link: the same build, then qx2sim's link server and harbrooklink bound to it.
BUILD ?= build
JOBS  ?= 2
CTEST_TIMEOUT ?= 300

.PHONY: all bootstrap configure build test run run-link clean

all: build

bootstrap:
	./scripts/bootstrap

configure: bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout $(CTEST_TIMEOUT)

run: build
	./scripts/run-demo $(BUILD)

run-link: build
	./scripts/run-link $(BUILD)

clean:
	rm -rf $(BUILD)
