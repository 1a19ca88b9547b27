// A variate source whose values a test scripts, with the same members as
// the generator stream.  It records every draw in order, so a test can
// check both the values consumed and the number and order of draws.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrum::test {

struct ScriptedSource {
    std::vector<double> uniforms;  // returned by uniform(), in order
    std::vector<double> normals;   // standard deviates z: normal() returns mu + sigma*z
    std::vector<double> gammas;    // standard gamma variates X: gamma() returns X / h
    std::size_t nu = 0, nn = 0, ng = 0;
    std::string log;                   // one letter per draw: U, N, G
    std::vector<double> gamma_shapes;  // the shape of every gamma draw

    // When a script runs out, it repeats its last value (or gives the
    // fallback when empty) instead of failing, so a test may script only
    // the values it looks at.
    double fallback_uniform = 0.5;

    double uniform() {
        log += 'U';
        return next(uniforms, nu, fallback_uniform);
    }
    double normal(double mu, double sigma) {
        log += 'N';
        return next(normals, nn, 0.0) * sigma + mu;
    }
    double gamma(double g, double h) { return gamma_core(g, h); }
    double gamma_core(double g, double h) {
        log += 'G';
        gamma_shapes.push_back(g);
        return next(gammas, ng, 1.0) / h;
    }

private:
    static double next(const std::vector<double>& v, std::size_t& i, double dflt) {
        if (v.empty()) {
            ++i;
            return dflt;
        }
        const double x = i < v.size() ? v[i] : v.back();
        ++i;
        return x;
    }
};

}  // namespace kestrum::test
