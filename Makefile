# The commands of the Quick start, plus the pieces they are made of.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo install clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every test: unit tests, then the device tests against a private sound server.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

# Both programs on PATH (/usr/local/bin unless CMAKE_INSTALL_PREFIX says otherwise), the
# manual pages and the resources: where parent applications look for talvora-audio.
install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
