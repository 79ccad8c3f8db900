// The fitted coefficients of the normal kernels and the split of ln 2, as printed by
// tools/fit_normal_coefficients.py, with the intervals they were fitted on.
#pragma once



namespace quorbis::core::normal::kernels {

// ln 2 = kLn2Hi + kLn2Lo, kLn2Hi with 42 significant bits so that k * kLn2Hi is exact for |k| < 2^11.
inline constexpr double kLn2Hi = 0.6931471805598903;
inline constexpr double kLn2Lo = 5.497923018708371e-14;
inline constexpr double kInvLn2 = 1.4426950408889634;

// exp(r) = 1 + r + r^2 E(r) on |r| <= 0.3467; relative error of the sum below 2^-61.
inline constexpr double kExpE[] = {
    0.5,
    0.1666666666666667,
    0.04166666666666667,
    0.00833333333332612,
    0.0013888888888883737,
    0.00019841269874873975,
    2.480158732558584e-05,
    2.755725533255441e-06,
    2.7557273594799413e-07,
    2.510524515390137e-08,
    2.0914707069612355e-09,
};

// log(1 + f) = 2 s + s z T(z) with s = f / (2 + f), z = s^2 <= 0.02944; relative error below 2^-57.
inline constexpr double kLogT[] = {
    0.666666666666667,
    0.3999999999989945,
    0.28571428626001427,
    0.22222211130560726,
    0.18182889433757515,
    0.15331711346672997,
    0.14616576421644387,
};

// erfc(x) = exp(-x^2) (1 + v(x)) / (1 + 2x) for x >= 0 with v(x) = 3/16 + P(x) / Q(x) on [0, 28]; the
// offset keeps the computed part small (|P / Q| < 0.19), and with it its rounding errors. The absolute
// error of v is below 2^-60.
inline constexpr double kErfcOffset = 0.1875;
inline constexpr double kErfcP[] = {
    -0.1875,
    0.21693886149760525,
    0.7165842878075411,
    0.7509089498353774,
    0.45827938065327073,
    0.1845705044003461,
    0.05018205972451498,
    0.008686576314343527,
    0.0006986148568303669,
    -5.632360632351527e-05,
    -2.0366765467970108e-05,
    -1.7014451084927289e-06,
};
inline constexpr double kErfcQ[] = {
    1.0,
    3.4916371808367064,
    5.7068857907337875,
    5.775651687059669,
    4.031454452658963,
    2.043795319041145,
    0.7706000844793488,
    0.2170304621531239,
    0.04499177232290488,
    0.006586425344497831,
    0.000619132702202845,
    2.8779112622546956e-05,
};
// The same v on [0, 6] alone, where shorter P and Q suffice (absolute error below 2^-56): the arguments
// that occur most take this cheaper form. Beyond 6, erfc is below 2.2e-17.
inline constexpr double kErfcNearTo = 6.0;
inline constexpr double kErfcNearP[] = {
    -0.1875,
    0.30586206590516163,
    0.5890126734016791,
    0.44401001613957275,
    0.1910636573381556,
    0.04972625277982924,
    0.006903137888431992,
    8.846636314783189e-05,
    -0.00012441987123203895,
    -1.4599057812022651e-05,
};
inline constexpr double kErfcNearQ[] = {
    1.0,
    3.01738009066308,
    4.182615147841982,
    3.505462017690583,
    1.964030346505977,
    0.7659475299273893,
    0.20897616131446478,
    0.03871857324823099,
    0.0044610054837210715,
    0.0002469359923450515,
};
// erfc(28) is far below the smallest subnormal; larger arguments are evaluated as 28.
inline constexpr double kErfcZeroFrom = 28.0;

}  // namespace quorbis::core::normal::kernels
