package io.ovrel.hardening;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.DynamicTest.dynamicTest;

import io.ovrel.test.BuildLayout;
import io.ovrel.test.ChildJvm;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.IntStream;
import java.util.stream.Stream;
import org.junit.jupiter.api.DynamicTest;
import org.junit.jupiter.api.TestFactory;
import org.junit.jupiter.api.io.TempDir;

/**
 * The bad-input table of {@link BadInputRows}, run in child JVMs under -Xcheck:jni:
 * every row must give its documented answer, print no JNI warning and leave the JVM
 * alive. A row that kills its child fails alone; the next child starts after it.
 * Writes the table as markdown to target/bad-input-table.md for the README.
 */
class BadInputTest {
    private static final Pattern START = Pattern.compile("ROW (\\d+) START");
    private static final Pattern RESULT = Pattern.compile("ROW (\\d+) RESULT (.*)");
    private static final String DONE = "ROWS DONE";

    @TestFactory
    Stream<DynamicTest> everyRowGivesItsDocumentedAnswerAndKeepsTheJvmAlive(@TempDir Path dir) throws IOException {
        List<BadInputRows.Row> rows = BadInputRows.all();
        Map<Integer, String> results = new HashMap<>();
        Map<Integer, String> problems = new HashMap<>();
        List<String> strayWarnings = new ArrayList<>();

        int from = 0;
        while (from < rows.size()) {
            ChildJvm.Result child = ChildJvm.main(BadInputChild.class).args(Integer.toString(from)).directory(dir)
                    .tolerateJniWarnings().timeout(Duration.ofSeconds(120)).run();
            int current = -1;
            for (String line : child.stdoutLines()) {
                Matcher start = START.matcher(line);
                Matcher result = RESULT.matcher(line);
                if (start.matches()) {
                    current = Integer.parseInt(start.group(1));
                } else if (result.matches()) {
                    results.put(Integer.parseInt(result.group(1)), result.group(2));
                    current = -1;
                } else if (line.contains(ChildJvm.JNI_WARNING)) {
                    if (current >= 0) {
                        problems.merge(current, line, (a, b) -> a + "\n" + b);
                    } else {
                        strayWarnings.add(line);
                    }
                }
            }
            child.stderrLines().stream().filter(l -> l.contains(ChildJvm.JNI_WARNING)).forEach(strayWarnings::add);
            if (child.exitCode() == 0 && child.stdout().contains(DONE)) {
                break;
            }
            if (current < 0) {
                // Died outside any row (loading, fixtures): nothing after this point ran.
                int first = from;
                IntStream.range(first, rows.size()).filter(i -> !results.containsKey(i))
                        .forEach(i -> problems.put(i, "child JVM failed outside the rows\n" + child.describe()));
                break;
            }
            problems.merge(current, "crashed the child JVM (exit code " + child.exitCode() + ")\n" + child.describe(),
                    (a, b) -> a + "\n" + b);
            from = current + 1;
        }

        writeMarkdown(rows);

        Stream<DynamicTest> perRow = IntStream.range(0, rows.size()).mapToObj(i -> {
            BadInputRows.Row row = rows.get(i);
            return dynamicTest(i + " " + row, () -> {
                assertTrue(!problems.containsKey(i), () -> row + ": " + problems.get(i));
                assertEquals(row.expect.printed, results.get(i), row::toString);
            });
        });
        return Stream.concat(perRow, Stream.of(dynamicTest("no JNI warning outside the rows",
                () -> assertEquals(List.of(), strayWarnings))));
    }

    /** native | input | result, in table order, for the README. */
    private static void writeMarkdown(List<BadInputRows.Row> rows) throws IOException {
        if (BuildLayout.buildDirectory().isEmpty()) {
            return;
        }
        StringBuilder md = new StringBuilder("| Native | Input | Result |\n|---|---|---|\n");
        for (BadInputRows.Row row : rows) {
            md.append("| `").append(row.nativeName).append("` | ").append(row.input).append(" | ")
                    .append(row.expect.shown).append(" |\n");
        }
        Files.writeString(BuildLayout.buildDirectory().get().resolve("bad-input-table.md"), md);
    }
}
