package io.ovrel.test;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * Runs after the other tests, in its own JVM: every test JVM runs under
 * {@code -Xcheck:jni} and copies its VM output into {@code jvm-output-pid<N>.log}
 * ({@code -XX:+LogVMOutput}); a JNI check warning in any of them fails the build,
 * even though the test that caused it may have passed.
 */
class JvmOutputCheck {
    private static final int CONTEXT_LINES = 12;

    @Test
    void noTestJvmReportedJniWarnings() throws IOException {
        Path dir = BuildLayout.buildDirectory()
                .orElseThrow(() -> new IllegalStateException("ovrel.test.buildDirectory is not set"));
        String glob = System.getProperty("ovrel.test.jvmOutputGlob", "jvm-output-*.log");

        List<Path> logs = new ArrayList<>();
        try (DirectoryStream<Path> stream = Files.newDirectoryStream(dir, glob)) {
            stream.forEach(logs::add);
        }
        // This JVM was started with the same flags as the others: finding its own log
        // proves the flags still produce the files this check reads.
        Path own = dir.resolve(glob.replace("*", "pid" + ProcessHandle.current().pid()));
        assertTrue(logs.contains(own), () -> "no VM output log " + own + " among " + logs
                + ": the test JVMs no longer log their output where this check looks");

        StringBuilder findings = new StringBuilder();
        for (Path log : logs) {
            // The log is the VM's XML; ISO-8859-1 reads any byte without failing.
            List<String> lines = Files.readAllLines(log, StandardCharsets.ISO_8859_1);
            for (int i = 0; i < lines.size(); i++) {
                if (lines.get(i).contains(ChildJvm.JNI_WARNING)) {
                    findings.append(log).append(':').append(i + 1).append('\n');
                    lines.subList(i, Math.min(lines.size(), i + CONTEXT_LINES))
                            .forEach(line -> findings.append("    ").append(line).append('\n'));
                }
            }
        }
        if (findings.length() > 0) {
            fail("JNI check warnings in test JVMs:\n" + findings);
        }
    }
}
