# The project's two commands: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= 2
STAMP := $(BUILD_DIR)/.setup-done

.PHONY: demo test

$(STAMP): scripts/setup.sh
	./scripts/setup.sh
	mkdir -p $(BUILD_DIR) && touch $(STAMP)

$(BUILD_DIR)/CMakeCache.txt: $(STAMP)
	cmake -S . -B $(BUILD_DIR)

demo: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$(JOBS)
	./scripts/demo.sh $(BUILD_DIR)

test: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 600
