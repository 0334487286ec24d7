"""A first look at Velmoratrix."""
import Velmoratrix

print("3+4*2/(1-5)^2^3 =", Velmoratrix.evaluate("3+4*2/(1-5)^2^3"))
print("sin(pi/2)+cos(0) =", Velmoratrix.evaluate("sin(pi/2)+cos(0)"))
print("5! =", Velmoratrix.evaluate("5!"))

ev = Velmoratrix.Evaluator()
ev.append_variable("x", 3)
ev.append_variable("y", 4)
print("variables:", ev.variables())
print("sqrt(x*x+y*y) =", ev.eval("sqrt(x*x+y*y)"))
print("5! with Stirling's formula =", ev.eval("5!"))

try:
    ev.eval("z+1")
except ValueError as error:
    print("z+1 raises ValueError:", error)
