; Rules shared by JavaScript and TypeScript. Later patterns win on the same name,
; so the general rule comes first and the more particular ones after it.

; Variables at any depth, as a reader jumps to them; "const" ones are
; constants, destructured names too.
(variable_declarator name: (identifier) @name) @definition.variable
(lexical_declaration kind: "const" (variable_declarator name: (identifier) @name) @definition.constant)
(lexical_declaration (variable_declarator name: (object_pattern [
  (shorthand_property_identifier_pattern) @name
  (pair_pattern value: (identifier) @name)]) @definition.constant))
(lexical_declaration (variable_declarator name: (array_pattern (identifier) @name) @definition.constant))

(for_in_statement left: (identifier) @name) @definition.variable
(for_in_statement kind: "const" left: (identifier) @name) @definition.constant
; `exports.helpers = {...}` and `Foo.defaults = {...}` define what they name.
(assignment_expression
  left: (member_expression property: (property_identifier) @name) right: (object)) @definition.property

; `Foo.prototype.bar = ...` makes Foo a class, as constructors were written
; before the class keyword.
((assignment_expression
   left: (member_expression object: (member_expression
     object: (identifier) @name property: (property_identifier) @_prototype))) @definition.class
  (#eq? @_prototype "prototype"))

; Functions bound to a name at any depth.
(variable_declarator name: (identifier) @name
  value: [(arrow_function) (function_expression) (generator_function)]) @definition.function
(assignment_expression
  left: [(identifier) @name (member_expression property: (property_identifier) @name)]
  right: [(arrow_function) (function_expression) (generator_function) (class)]) @definition.function
(function_declaration name: (identifier) @name) @definition.function
(generator_function_declaration name: (identifier) @name) @definition.function
(class_declaration name: (_) @name) @definition.class
(class name: (_) @name) @definition.class
(variable_declarator name: (identifier) @name value: (class)) @definition.class

; Members of classes and object literals. Keys whose value is plain data are
; not definitions; keys holding an object are, as their members are.
(method_definition name: [(property_identifier) (private_property_identifier)] @name) @definition.method
(pair key: [(property_identifier) (string)] @name value: (object)) @definition.property
(pair key: [(property_identifier) (string)] @name
  value: [(arrow_function) (function_expression) (generator_function)]) @definition.method
(pair key: [(property_identifier) (string)] @name value: (class)) @definition.class

; References.

(new_expression constructor: [
  (identifier) @name
  (member_expression property: (property_identifier) @name)]) @reference.new

(import_specifier name: (identifier) @name) @reference.import
(import_clause (identifier) @name) @reference.import
(import_statement source: (string (string_fragment) @name)) @reference.import
(export_statement source: (string (string_fragment) @name)) @reference.import
((call_expression
   function: (identifier) @_require
   arguments: (arguments . (string (string_fragment) @name))) @reference.import
  (#eq? @_require "require"))

; `require(...)` is a call as well as an import of its module.
(call_expression function: (identifier) @name) @reference.call
