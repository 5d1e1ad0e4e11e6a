package io.ovrel.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;

import io.ovrel.test.NativeLibraryExtension;
import io.ovrel.test.Platform;
import java.util.function.LongSupplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

@ExtendWith(NativeLibraryExtension.class)
class LimitsTest {

    static Stream<Arguments> limits() {
        return Stream.of(
                limit("ssizeMax", LimitsStaticallyReferencedJniMethods::ssizeMax, Long.MAX_VALUE, Long.MAX_VALUE),
                limit("iovMax", LimitsStaticallyReferencedJniMethods::iovMax, 1024, 1024),
                limit("uioMaxIov", LimitsStaticallyReferencedJniMethods::uioMaxIov, 1024, 1024),
                limit("sizeOfjlong", LimitsStaticallyReferencedJniMethods::sizeOfjlong, Long.BYTES, Long.BYTES),
                // sun_path is 108 bytes on Linux, 104 on the BSDs
                limit("udsSunPathSize", LimitsStaticallyReferencedJniMethods::udsSunPathSize, 108, 104));
    }

    private static Arguments limit(String name, LongSupplier value, long linux, long freebsd) {
        return Arguments.of(name, value, linux, freebsd);
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("limits")
    void reportsThePlatformLimit(String name, LongSupplier value, long linux, long freebsd) {
        assertEquals(Platform.pick(linux, freebsd), value.getAsLong(), name);
    }
}
