# make test: install what is missing, configure, build, run every test; then, when
#            clang is present, the serial and terminal tests under ThreadSanitizer.
# make tsan: only the ThreadSanitizer run (its own build directory).
# make ubsan: the terminal window's tests under UndefinedBehaviorSanitizer (clang; not
#            part of make test, since it builds qx2sim and brennock once more).
# make run:  builds only qx2sim, brennock and the sample writer, then starts qx2sim and
#            brennock bound to it (settings in a temporary folder).
# make run-link: builds only qx2sim and harbrooklink, then starts qx2sim's link server
#            and harbrooklink bound to it (settings in a temporary folder).
# make package: the Debian packages brennock, harbrooklink and qx2sim in dist/, built
#            without tests in their own build directory, then checked with lintian,
#            desktop-file-validate and appstreamcli where those are installed.
BUILD ?= build
JOBS  ?= 2
CTEST_TIMEOUT ?= 300
TSAN_BUILD ?= build-tsan
TSAN_TARGETS = serial_port_test serial_remote_port_test terminal_document_test \
  terminal_linelost_test terminal_portnames_test
TSAN_OPTIONS_RUN = halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp
UBSAN_BUILD ?= build-ubsan
PACKAGE_BUILD ?= build-package
DIST ?= dist
RUN_TARGETS = qx2sim brennock postlink-fixture
RUN_LINK_TARGETS = qx2sim harbrooklink
UBSAN_TARGETS = termui_frame_test termui_view_test termui_capture_test capture_crash_driver \
  termui_send_dialogs_test
CLANGXX := $(shell command -v clang++ 2>/dev/null)
CCACHE := $(shell command -v ccache 2>/dev/null)

.PHONY: all bootstrap configure build test tsan ubsan run run-link package clean

all: build

bootstrap:
	./scripts/bootstrap

configure: bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout $(CTEST_TIMEOUT)
	$(MAKE) tsan

# Only the serial line and the document, where the comm thread meets the UI thread.
# Qt itself is not instrumented; tests/tsan.supp says what is suppressed and why.
tsan:
ifeq ($(CLANGXX),)
	@echo "clang++ not found: the ThreadSanitizer run is skipped"
else
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(CLANGXX) -DVANTREL_SANITIZE=thread \
	  $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	cd $(TSAN_BUILD) && QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="$(TSAN_OPTIONS_RUN)" \
	  ctest --output-on-failure -j $(JOBS) --timeout $(CTEST_TIMEOUT) \
	  -R '^(serial_port|serial_remote_port|terminal_document|terminal_linelost|terminal_portnames)$$'
endif

ubsan:
ifeq ($(CLANGXX),)
	@echo "clang++ not found: the UndefinedBehaviorSanitizer run is skipped"
else
	cmake -S . -B $(UBSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(CLANGXX) -DVANTREL_SANITIZE=undefined \
	  $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
	cmake --build $(UBSAN_BUILD) -j $(JOBS) --target $(UBSAN_TARGETS)
	cd $(UBSAN_BUILD) && QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
	  ctest --output-on-failure -j $(JOBS) --timeout $(CTEST_TIMEOUT) -R '^termui_(frame|view|capture|send_dialogs)$$'
endif

# Only what the demo starts: the tests and benchmarks wait for make test.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	./scripts/run-demo $(BUILD)

run-link: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_LINK_TARGETS)
	./scripts/run-link $(BUILD)

# Debian's flags with every hardening feature (dpkg-buildflags), no tests, stripped
# binaries. CMake reads no CPPFLAGS, so the preprocessor's part goes with CXXFLAGS.
package: bootstrap
	eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" && \
	  cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$$CXXFLAGS $$CPPFLAGS" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$LDFLAGS" $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	rm -rf $(DIST) $(PACKAGE_BUILD)/cpack
	cd $(PACKAGE_BUILD) && cpack -G DEB -B $(CURDIR)/$(PACKAGE_BUILD)/cpack
	mkdir -p $(DIST)
	cp $(PACKAGE_BUILD)/cpack/*.deb $(DIST)/
	./scripts/lint-packages $(DIST)

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(UBSAN_BUILD) $(PACKAGE_BUILD) $(DIST)
