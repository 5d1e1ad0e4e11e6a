package io.ovrel.test;

import io.ovrel.demo.NativeLibrary;
import org.junit.jupiter.api.extension.BeforeAllCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

/**
 * Loads the built library (path from {@code ovrel.native.library}) into the test JVM
 * before a test class runs. Loading is once per JVM: later loads of the same file are
 * no-ops.
 */
public final class NativeLibraryExtension implements BeforeAllCallback {
    @Override
    public void beforeAll(ExtensionContext context) {
        NativeLibrary.loadConfigured();
    }
}
