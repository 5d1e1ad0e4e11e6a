package io.ovrel.test;

import java.io.File;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.Optional;
import java.util.stream.Collectors;

/** Where the Maven build put what the tests need; handed over as system properties. */
public final class BuildLayout {
    private BuildLayout() {
    }

    /** {@code target/} of this module, when the tests run under Maven. */
    public static Optional<Path> buildDirectory() {
        return Optional.ofNullable(System.getProperty("ovrel.test.buildDirectory")).map(Paths::get);
    }

    /** This module's classes and test classes as they are, not relocated. */
    public static List<String> unrelocatedClasspath() {
        String classes = System.getProperty("ovrel.test.classes");
        String testClasses = System.getProperty("ovrel.test.testClasses");
        if (classes != null && testClasses != null) {
            return List.of(classes, testClasses);
        }
        return Arrays.stream(System.getProperty("java.class.path").split(File.pathSeparator))
                .collect(Collectors.toList());
    }

    /** The jar in which the shade plugin relocated io.ovrel.channel under {@link #relocationPrefix()}. */
    public static Path relocatedJar() {
        return Paths.get(required("ovrel.test.relocatedJar"));
    }

    /** The package the relocated jar moved io.ovrel.channel under, e.g. {@code app.shaded}. */
    public static String relocationPrefix() {
        return required("ovrel.test.relocationPrefix");
    }

    private static String required(String property) {
        String value = System.getProperty(property);
        if (value == null || value.isEmpty()) {
            throw new IllegalStateException("system property " + property
                    + " is not set: run this test through Maven (mvn verify)");
        }
        return value;
    }

    /** This module's test classes directory, e.g. to put beside the relocated jar on a child's classpath. */
    public static Path testClasses() {
        return Paths.get(required("ovrel.test.testClasses"));
    }
}
