package io.ovrel.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.ovrel.test.NativeLibraryExtension;
import io.ovrel.test.Platform;
import java.util.function.IntSupplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

@ExtendWith(NativeLibraryExtension.class)
class ErrorsTest {
    private static final String ENOENT_TEXT = "No such file or directory";

    static Stream<Arguments> errnoConstants() {
        return Stream.of(
                errno("ENOENT", ErrorsStaticallyReferencedJniMethods::errnoENOENT, 2, 2),
                errno("ENOTCONN", ErrorsStaticallyReferencedJniMethods::errnoENOTCONN, 107, 57),
                errno("EBADF", ErrorsStaticallyReferencedJniMethods::errnoEBADF, 9, 9),
                errno("EPIPE", ErrorsStaticallyReferencedJniMethods::errnoEPIPE, 32, 32),
                errno("ECONNRESET", ErrorsStaticallyReferencedJniMethods::errnoECONNRESET, 104, 54),
                errno("EAGAIN", ErrorsStaticallyReferencedJniMethods::errnoEAGAIN, 11, 35),
                errno("EWOULDBLOCK", ErrorsStaticallyReferencedJniMethods::errnoEWOULDBLOCK, 11, 35),
                errno("EINPROGRESS", ErrorsStaticallyReferencedJniMethods::errnoEINPROGRESS, 115, 36),
                errno("ECONNREFUSED", ErrorsStaticallyReferencedJniMethods::errorECONNREFUSED, 111, 61),
                errno("EISCONN", ErrorsStaticallyReferencedJniMethods::errorEISCONN, 106, 56),
                errno("EALREADY", ErrorsStaticallyReferencedJniMethods::errorEALREADY, 114, 37),
                errno("ENETUNREACH", ErrorsStaticallyReferencedJniMethods::errorENETUNREACH, 101, 51));
    }

    private static Arguments errno(String name, IntSupplier value, int linux, int freebsd) {
        return Arguments.of(name, value, linux, freebsd);
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("errnoConstants")
    void errnoConstantHasThePlatformValue(String name, IntSupplier value, int linux, int freebsd) {
        assertEquals(Platform.pick(linux, freebsd), value.getAsInt(), name);
    }

    static Stream<Arguments> errorTexts() {
        return Stream.of(
                Arguments.of("ENOENT", (IntSupplier) ErrorsStaticallyReferencedJniMethods::errnoENOENT, ENOENT_TEXT),
                Arguments.of("EBADF", (IntSupplier) ErrorsStaticallyReferencedJniMethods::errnoEBADF,
                        "Bad file descriptor"),
                Arguments.of("EPIPE", (IntSupplier) ErrorsStaticallyReferencedJniMethods::errnoEPIPE, "Broken pipe"),
                Arguments.of("ECONNREFUSED", (IntSupplier) ErrorsStaticallyReferencedJniMethods::errorECONNREFUSED,
                        "Connection refused"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("errorTexts")
    void strErrorGivesTheSystemText(String name, IntSupplier errno, String text) {
        assertEquals(text, ErrorsStaticallyReferencedJniMethods.strError(errno.getAsInt()));
    }

    @Test
    void strErrorOfTwoIsTheSystemTextOfEnoent() {
        assertEquals(ENOENT_TEXT, ErrorsStaticallyReferencedJniMethods.strError(2));
    }

    /** Unlike exception messages, strError passes the number on unchanged: -2 is not ENOENT. */
    @ParameterizedTest
    @ValueSource(ints = {-2, 100_000})
    void strErrorOfAnUnknownNumberNamesThatNumber(int number) {
        String text = ErrorsStaticallyReferencedJniMethods.strError(number);
        assertNotEquals(ENOENT_TEXT, text);
        assertTrue(text.contains(Integer.toString(number)), text);
    }
}
