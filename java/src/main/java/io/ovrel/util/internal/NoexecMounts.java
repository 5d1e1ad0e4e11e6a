package io.ovrel.util.internal;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;

/**
 * Tells whether a directory lies on a file system mounted {@code noexec}, to explain a
 * library that was extracted there but could not be mapped.
 */
final class NoexecMounts {
    private static final Path MOUNT_TABLE = Paths.get("/proc/self/mounts");

    private NoexecMounts() {
    }

    /** "X is on a noexec mount (Y)", or null when it is not or the mount table is unknown. */
    static String describe(Path directory) {
        List<String> lines;
        Path real;
        try {
            real = directory.toRealPath();
            lines = Files.readAllLines(MOUNT_TABLE, StandardCharsets.UTF_8);
        } catch (IOException | SecurityException e) {
            return null;
        }
        return describe(real, lines);
    }

    /** The mount whose point is the longest prefix of {@code directory} decides. */
    static String describe(Path directory, List<String> mountTable) {
        Path best = null;
        boolean noexec = false;
        for (String line : mountTable) {
            String[] fields = line.split(" ");
            if (fields.length < 4) {
                continue;
            }
            Path point = Paths.get(unescape(fields[1]));
            if (directory.startsWith(point) && (best == null || point.getNameCount() >= best.getNameCount())) {
                best = point;
                noexec = List.of(fields[3].split(",")).contains("noexec");
            }
        }
        return best != null && noexec ? directory + " is on a noexec mount (" + best + ")" : null;
    }

    /** The mount table writes space, tab, newline and backslash as octal escapes. */
    private static String unescape(String field) {
        StringBuilder out = new StringBuilder(field.length());
        for (int i = 0; i < field.length(); i++) {
            char c = field.charAt(i);
            if (c == '\\' && i + 4 <= field.length() && field.substring(i + 1, i + 4).matches("[0-7]{3}")) {
                out.append((char) Integer.parseInt(field.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }
}
